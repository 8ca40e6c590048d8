#include "toolkit/Component.h"

#include <algorithm>

namespace tk {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_) {
        owner_->Insert(this);
    }
}

TComponent::~TComponent() {
    // Owned components go latest first; each leaves this list as it goes.
    while (!owned_.empty()) {
        TComponent* child = owned_.back();
        owned_.pop_back();
        child->owner_ = nullptr;
        delete child;
    }
    if (owner_) {
        owner_->Remove(this);
    }
}

void TComponent::SetDesigning(bool on) {
    state_ = on ? (state_ | csDesigning) : (state_ & ~csDesigning);
}

void TComponent::Assign(const TComponent&) {}

void TComponent::Loaded() {}

void TComponent::Remove(TComponent* child) {
    auto it = std::find(owned_.begin(), owned_.end(), child);
    if (it != owned_.end()) {
        owned_.erase(it);
    }
}

namespace {

// The component and everything it owns, owners before what they own.
void CollectTree(TComponent& c, std::vector<TComponent*>& out) {
    out.push_back(&c);
    for (size_t i = 0; i < c.ComponentCount(); ++i) {
        CollectTree(*c.Components(i), out);
    }
}

}  // namespace

void LoadStoredValues(TComponent& component, const std::function<void()>& apply) {
    std::vector<TComponent*> tree;
    CollectTree(component, tree);
    for (TComponent* c : tree) {
        c->state_ |= csLoading;
    }
    // The state ends however apply ends; a component freed meanwhile has
    // left the tree, so only the ones still in it are looked at again.
    auto endLoading = [&component] {
        std::vector<TComponent*> now;
        CollectTree(component, now);
        std::vector<TComponent*> loaded;
        for (TComponent* c : now) {
            if (c->Loading()) {
                c->state_ &= ~csLoading;
                loaded.push_back(c);
            }
        }
        return loaded;
    };
    try {
        if (apply) {
            apply();
        }
    } catch (...) {
        endLoading();
        throw;
    }
    for (TComponent* c : endLoading()) {
        c->Loaded();
    }
}

}  // namespace tk

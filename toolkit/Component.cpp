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

void LoadStoredValues(TComponent& component, const std::function<void()>& apply) {
    struct TLoadingState {
        TComponent& c;
        uint32_t& state;
        ~TLoadingState() { state &= ~csLoading; }
    } loading{component, component.state_};
    component.state_ |= csLoading;
    if (apply) {
        apply();
    }
    component.state_ &= ~csLoading;
    component.Loaded();
}

}  // namespace tk

// The component model: owned components freed with their owner, a name and
// a tag, a design-mode state and a streaming-in state with the Loaded
// notification at its end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tk {

// Component states (bit set).
constexpr uint32_t csLoading = 0x01;    // being streamed in from stored values
constexpr uint32_t csDesigning = 0x02;  // in a designer, not running

class TComponent;

// A plain event: the component that raises it.
using TNotifyEvent = std::function<void(TComponent& Sender)>;

class TComponent {
  public:
    // Registers with owner (nullptr: no owner), which frees it with itself.
    explicit TComponent(TComponent* owner);
    // Frees the owned components, the latest created first, and leaves the owner.
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    intptr_t Tag() const { return tag_; }
    void SetTag(intptr_t tag) { tag_ = tag; }

    uint32_t ComponentState() const { return state_; }
    bool Designing() const { return (state_ & csDesigning) != 0; }
    bool Loading() const { return (state_ & csLoading) != 0; }
    void SetDesigning(bool on);

    size_t ComponentCount() const { return owned_.size(); }
    TComponent* Components(size_t index) const { return owned_.at(index); }

    // Copies what a component of the same kind carries; a source of another
    // kind leaves this one unchanged. The base copies nothing.
    virtual void Assign(const TComponent& source);

  protected:
    // Called once streaming in has ended.
    virtual void Loaded();

  private:
    friend void LoadStoredValues(TComponent&, const std::function<void()>&);
    void Insert(TComponent* child) { owned_.push_back(child); }
    void Remove(TComponent* child);

    TComponent* owner_;
    std::vector<TComponent*> owned_;
    std::string name_;
    intptr_t tag_ = 0;
    uint32_t state_ = 0;
};

// Streams stored values into a component and the components it owns: apply
// sets their properties while they are in the streaming-in state; then the
// state ends and Loaded runs for each, owners before what they own (those
// created during apply take no part). An exception from apply ends the state
// and passes on without Loaded.
void LoadStoredValues(TComponent& component, const std::function<void()>& apply);

}  // namespace tk

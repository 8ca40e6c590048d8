// Whether an object still lives after a call that may have destroyed it:
// the object owns a TLiveness, and a caller that raises an event holds a
// TLiveness::TWatch over the call. No allocation and no atomics: both live
// on the one thread that runs the object.
#pragma once

namespace tk {

class TLiveness {
  public:
    TLiveness() = default;
    TLiveness(const TLiveness&) = delete;
    TLiveness& operator=(const TLiveness&) = delete;
    // Tells every watch under way that the owner is gone.
    ~TLiveness() {
        for (TWatch* w = top_; w != nullptr; w = w->outer_) {
            w->gone_ = true;
        }
    }

    class TWatch {
      public:
        explicit TWatch(TLiveness& l) : liveness_(&l), outer_(l.top_) { l.top_ = this; }
        ~TWatch() {
            if (!gone_) {
                liveness_->top_ = outer_;
            }
        }
        TWatch(const TWatch&) = delete;
        TWatch& operator=(const TWatch&) = delete;
        // The owner was destroyed since the watch began.
        bool Gone() const { return gone_; }

      private:
        friend class TLiveness;
        TLiveness* liveness_;
        TWatch* outer_;
        bool gone_ = false;
    };

  private:
    TWatch* top_ = nullptr;
};

}  // namespace tk

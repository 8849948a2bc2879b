#include "component.h"

#include <algorithm>

namespace kestrel {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_)
        owner_->components_.push_back(this);
}

TComponent::~TComponent() {
    destroying_ = true;
    // Free owned components, newest first; each one unlinks itself from this list.
    while (!components_.empty()) {
        TComponent* child = components_.back();
        delete child; // NOTE: ownership by the tree, as the framework defines it
    }
    if (owner_) {
        auto& siblings = owner_->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

} // namespace kestrel

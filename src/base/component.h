// The component owner tree: an owner frees the components it owns when it is freed.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

class TComponent {
public:
    explicit TComponent(TComponent* owner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::vector<TComponent*>& Components() const { return components_; }
    std::string Name;

    // True once destruction has begun; derived destructors call BeginDestroy() first
    // so that events are no longer raised while the object comes apart.
    bool Destroying() const { return destroying_; }

protected:
    void BeginDestroy() { destroying_ = true; }

private:
    TComponent* owner_;
    std::vector<TComponent*> components_;
    bool destroying_ = false;
};

} // namespace kestrel

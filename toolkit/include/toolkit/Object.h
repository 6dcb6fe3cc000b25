#pragma once
// The root of the toolkit's ownership tree: an object owns its children and
// deletes them when it goes away.

#include <unordered_set>

namespace Nvx {

class Object {
public:
    Object() = default;
    // Deletes every child, then leaves the parent.
    virtual ~Object() = 0;

    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // The objects this one owns.
    const std::unordered_set<Object*>& children() const { return children_; }
    // The owner, or null. Not owning.
    Object* parent() const { return parent_; }

protected:
    // Leaves the current parent, then joins newParent (which may be null).
    void setParent(Object* newParent);

private:
    std::unordered_set<Object*> children_;
    Object* parent_ = nullptr;
};

}  // namespace Nvx

#include "toolkit/Object.h"

#include <utility>

namespace Nvx {

Object::~Object() {
    // Take the set out first: each child that leaves this parent while it is
    // deleted then finds nothing to erase.
    std::unordered_set<Object*> former = std::move(children_);
    children_.clear();
    for (Object* child : former) {
        child->parent_ = nullptr;
        delete child;
    }
    if (parent_) {
        parent_->children_.erase(this);
        parent_ = nullptr;
    }
}

void Object::setParent(Object* newParent) {
    if (parent_) {
        parent_->children_.erase(this);
        parent_ = nullptr;
    }
    if (newParent) {
        newParent->children_.insert(this);
        parent_ = newParent;
    }
}

}  // namespace Nvx

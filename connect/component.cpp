#include "connect/component.h"

#include <algorithm>

namespace qorvel {

TComponent::TComponent(TComponent* aOwner) : owner_(aOwner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  while (!components_.empty()) {
    TComponent* last = components_.back();
    components_.pop_back();
    last->owner_ = nullptr;
    delete last;
  }
  if (owner_) {
    auto& siblings = owner_->components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

void TComponent::BeginLoading() {
  loading_ = true;
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  for (TComponent* c : components_) c->EndLoading();
  if (!loading_) return;
  loading_ = false;
  Loaded();
}

}  // namespace qorvel

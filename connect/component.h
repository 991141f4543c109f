#pragma once
// The component base: an owner that destroys what it owns, a name, a loading
// state with its completion notification, and a destroying state.
//
// Ownership: a component created with an owner is deleted by that owner's
// destructor (last created first) unless it was deleted before; it must then
// have been allocated with new. Components are used from the main thread.
#include <string>
#include <vector>

namespace qorvel {

class TComponent {
 public:
  explicit TComponent(TComponent* aOwner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string aName) { name_ = std::move(aName); }

  bool Loading() const { return loading_; }
  bool Destroying() const { return destroying_; }

  // A stored description sets the component's stored values between these
  // two calls; EndLoading() then runs Loaded(). Owned components are loaded
  // with their owner, before it.
  void BeginLoading();
  void EndLoading();

  const std::vector<TComponent*>& Components() const { return components_; }

 protected:
  // Runs once loading has completed; overrides call the base first.
  virtual void Loaded() {}
  // Concrete classes call this at the start of their destructor, before they
  // release anything that their close step still uses.
  void MarkDestroying() { destroying_ = true; }

 private:
  TComponent* owner_;
  std::string name_;
  bool loading_ = false;
  bool destroying_ = false;
  std::vector<TComponent*> components_;
};

}  // namespace qorvel

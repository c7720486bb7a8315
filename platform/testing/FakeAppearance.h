#pragma once

#include <functional>
#include <map>
#include <memory>

#include "platform/Appearance.h"

namespace qv::testing {

// A light or dark appearance the test switches by hand. Main thread only.
class FakeAppearance final : public Appearance {
 public:
  bool isDark() const override { return state_->dark; }
  std::unique_ptr<Subscription> observeChanges(std::function<void()> onChange) override {
    int id = state_->nextId++;
    state_->observers[id] = std::move(onChange);
    return std::make_unique<Observation>(state_, id);
  }

  // Switches and tells every observer, like the system does.
  void setDark(bool dark) {
    state_->dark = dark;
    auto observers = state_->observers;
    for (auto& [id, observer] : observers) observer();
  }
  std::size_t observerCount() const { return state_->observers.size(); }

 private:
  struct State {
    bool dark = false;
    int nextId = 0;
    std::map<int, std::function<void()>> observers;
  };
  class Observation final : public Subscription {
   public:
    Observation(std::shared_ptr<State> state, int id) : state_(std::move(state)), id_(id) {}
    ~Observation() override { state_->observers.erase(id_); }

   private:
    std::shared_ptr<State> state_;
    int id_;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace qv::testing

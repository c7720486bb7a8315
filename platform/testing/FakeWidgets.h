#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ViewFactory.h"

namespace qv::testing {

// In-memory widgets that keep what they were told, for tests to read back. Main
// thread only, like the real ones.

template <typename Interface>
class FakeWidgetBase : public Interface {
 public:
  void setFrame(const Rect& frame) override { frame_ = frame; }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override {
    hidden_ = hidden;
    ++hiddenChanges_;
  }
  bool isHidden() const override { return hidden_; }
  // How often setHidden was called: a panel shown again counts, one left alone not.
  int hiddenChanges() const { return hiddenChanges_; }

 private:
  Rect frame_;
  bool hidden_ = false;
  int hiddenChanges_ = 0;
};

class FakeView final : public FakeWidgetBase<View> {
 public:
  void addSubview(std::shared_ptr<Widget> subview) override {
    subviews_.push_back(std::move(subview));
  }
  void setBackgroundColor(const std::optional<Color>& color) override { background_ = color; }

  const std::vector<std::shared_ptr<Widget>>& subviews() const { return subviews_; }
  std::optional<Color> backgroundColor() const { return background_; }
  // Every subview of type T, depth first, this view's own first.
  template <typename T>
  std::vector<std::shared_ptr<T>> descendants() const {
    std::vector<std::shared_ptr<T>> found;
    for (const auto& subview : subviews_) {
      if (auto typed = std::dynamic_pointer_cast<T>(subview)) found.push_back(typed);
      if (auto view = std::dynamic_pointer_cast<FakeView>(subview)) {
        auto nested = view->descendants<T>();
        found.insert(found.end(), nested.begin(), nested.end());
      }
    }
    return found;
  }

 private:
  std::vector<std::shared_ptr<Widget>> subviews_;
  std::optional<Color> background_;
};

class FakeImageView final : public FakeWidgetBase<ImageView> {
 public:
  void setImageNamed(const std::string& name) override { imageName_ = name; }
  const std::string& imageName() const { return imageName_; }

 private:
  std::string imageName_;
};

class FakeTextLabel final : public FakeWidgetBase<TextLabel> {
 public:
  void setText(const std::vector<TextRun>& runs) override { runs_ = runs; }
  void setTextColor(const Color& color) override { color_ = color; }
  void setAlignment(TextAlignment alignment) override { alignment_ = alignment; }

  const std::vector<TextRun>& runs() const { return runs_; }
  // The runs' text joined.
  std::string text() const {
    std::string joined;
    for (const auto& run : runs_) joined += run.text;
    return joined;
  }
  std::optional<Color> textColor() const { return color_; }
  TextAlignment alignment() const { return alignment_; }

 private:
  std::vector<TextRun> runs_;
  std::optional<Color> color_;
  TextAlignment alignment_ = TextAlignment::left;
};

class FakeButton final : public FakeWidgetBase<Button> {
 public:
  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const override { return enabled_; }
  void setAction(std::function<void()> action) override { action_ = std::move(action); }
  void setStyle(const ButtonStyle& style) override { style_ = style; }

  std::optional<ButtonStyle> style() const { return style_; }
  // The user clicks: the action runs only when the button is enabled and visible to
  // the click (hidden buttons take no clicks). False when nothing ran.
  bool click() {
    if (!enabled_ || isHidden() || !action_) return false;
    action_();
    return true;
  }

 private:
  std::string title_;
  bool enabled_ = true;
  std::function<void()> action_;
  std::optional<ButtonStyle> style_;
};

class FakeWindow final : public Window {
 public:
  FakeWindow(Rect contentRect, std::uint32_t styleMask)
      : contentRect_(contentRect), styleMask_(styleMask) {}

  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  void setTitleHidden(bool hidden) override { titleHidden_ = hidden; }
  void setTitlebarAppearsTransparent(bool transparent) override { transparent_ = transparent; }
  void setMovableByWindowBackground(bool movable) override { movable_ = movable; }
  void setContentView(std::shared_ptr<View> view) override { content_ = std::move(view); }
  void center() override { centered_ = true; }
  void makeKeyAndOrderFront() override {
    visible_ = true;
    miniaturized_ = false;
    ++shows_;
  }
  bool isVisible() const override { return visible_ && !miniaturized_; }
  void performClose() override { visible_ = false; }
  void performMiniaturize() override { miniaturized_ = true; }

  Rect contentRect() const { return contentRect_; }
  std::uint32_t styleMask() const { return styleMask_; }
  bool titleHidden() const { return titleHidden_; }
  bool titlebarAppearsTransparent() const { return transparent_; }
  bool movableByWindowBackground() const { return movable_; }
  bool centered() const { return centered_; }
  const std::shared_ptr<View>& contentView() const { return content_; }
  int showCount() const { return shows_; }

 private:
  Rect contentRect_;
  std::uint32_t styleMask_;
  std::string title_;
  bool titleHidden_ = false;
  bool transparent_ = false;
  bool movable_ = false;
  bool centered_ = false;
  bool visible_ = false;
  bool miniaturized_ = false;
  int shows_ = 0;
  std::shared_ptr<View> content_;
};

// Makes fake widgets and remembers the windows it made.
class FakeViewFactory final : public ViewFactory {
 public:
  std::shared_ptr<View> makeView() override { return std::make_shared<FakeView>(); }
  std::shared_ptr<ImageView> makeImageView() override { return std::make_shared<FakeImageView>(); }
  std::shared_ptr<TextLabel> makeTextLabel() override { return std::make_shared<FakeTextLabel>(); }
  std::shared_ptr<Button> makeButton() override { return std::make_shared<FakeButton>(); }
  std::shared_ptr<Window> makeWindow(const Rect& contentRect, std::uint32_t styleMask) override {
    auto window = std::make_shared<FakeWindow>(contentRect, styleMask);
    windows_.push_back(window);
    return window;
  }

  const std::vector<std::shared_ptr<FakeWindow>>& windows() const { return windows_; }

 private:
  std::vector<std::shared_ptr<FakeWindow>> windows_;
};

}  // namespace qv::testing

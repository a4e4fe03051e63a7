#pragma once
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/tray.h"

namespace tolvi {

// Records what the tray asked of its toolkit; message boxes, the menu and the password form
// answer from scripts.
class FakeTrayToolkit : public platform::TrayToolkit {
 public:
  struct Box {
    std::string text, title;
    platform::MessageIcon icon;
    platform::MessageButtons buttons;
  };
  std::vector<Box> boxes;
  std::deque<platform::MessageAnswer> answers;
  std::deque<std::optional<std::string>> forms;  // what each form returns
  // Runs once inside the next form, as the icon's events do inside a real form's loop.
  std::function<void()> while_form_open;
  int forms_shown = 0;
  int forms_raised = 0;
  std::deque<int> choices;  // the command each menu shown is answered with (none: dismissed)
  int loop_quits = 0;
  platform::PasswordFormLogic last_form;
  std::vector<std::string> clipboard, opened;
  std::vector<std::string> tips;
  std::vector<std::vector<std::uint32_t>> pictures;  // drawn at picture_size
  int picture_size = 16;
  std::vector<std::vector<platform::TrayMenuEntry>> menus;
  std::function<void()> activate;
  std::function<void()> timer;
  std::chrono::milliseconds timer_period{0};
  std::vector<std::function<void()>> posted;
  bool icon_removed = false;

  void set_icon(platform::PictureSource picture, const std::string& tip) override {
    pictures.push_back(picture(picture_size));
    tips.push_back(tip);
  }
  void remove_icon() override { icon_removed = true; }
  void on_activate(std::function<void()> handler) override { activate = std::move(handler); }
  void on_session_end(std::function<void()>) override {}
  void every(std::chrono::milliseconds period, std::function<void()> handler) override {
    timer_period = period;
    timer = std::move(handler);
  }
  void post_to_main_thread(std::function<void()> handler) override {
    posted.push_back(std::move(handler));
  }
  void show_menu(const std::vector<platform::TrayMenuEntry>& entries,
                 std::function<void(int)> chosen) override {
    menus.push_back(entries);
    if (choices.empty()) return;
    const int choice = choices.front();
    choices.pop_front();
    chosen(choice);
  }
  platform::MessageAnswer message_box(const std::string& text, const std::string& title,
                                      platform::MessageIcon icon,
                                      platform::MessageButtons buttons) override {
    boxes.push_back({text, title, icon, buttons});
    if (answers.empty()) return platform::MessageAnswer::Ok;
    const auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::optional<std::string> password_form(const platform::PasswordFormLogic& logic) override {
    last_form = logic;
    ++forms_shown;
    if (auto inside = std::exchange(while_form_open, nullptr)) inside();
    if (forms.empty()) return std::nullopt;
    auto result = forms.front();
    forms.pop_front();
    return result;
  }
  bool copy_to_clipboard(const std::string& text) override {
    clipboard.push_back(text);
    return true;
  }
  void open_with_default_application(const std::string& target) override {
    opened.push_back(target);
  }
  void raise_password_form() override { ++forms_raised; }
  void run() override {}
  void quit() override { ++loop_quits; }
};

}  // namespace tolvi

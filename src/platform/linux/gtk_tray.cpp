// The tray toolkit on a Linux desktop, through GTK 3. The icon is a StatusNotifierItem
// (libayatana-appindicator) where the desktop runs a watcher for them, and an XEmbed system tray
// icon (GtkStatusIcon) otherwise. Its pictures are always ours, drawn at the size asked for.
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/log.h"
#include "platform/linux/gtk_password_form.h"
#include "platform/tray.h"

namespace tolvi::platform {
namespace {

constexpr char kApplicationId[] = "tolvi-host";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
// Sizes written for the StatusNotifierItem host, which picks the nearest to what it shows.
constexpr int kIndicatorSizes[] = {16, 22, 24, 32, 48, 64};
// The menu of a StatusNotifierItem is shown by the host: it is refreshed this often.
constexpr guint kIndicatorMenuRefreshMs = 5000;
// How long a tray may take to take in the icon before the log says there is none.
constexpr guint kEmbedCheckSeconds = 5;

// GdkPixbuf wants RGBA bytes; our pictures are 0xAARRGGBB words.
GdkPixbuf* make_pixbuf(const std::vector<std::uint32_t>& pixels, int size) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  guchar* data = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const std::uint32_t p = pixels[static_cast<std::size_t>(y) * size + x];
      guchar* out = data + y * stride + x * 4;
      out[0] = static_cast<guchar>(p >> 16);
      out[1] = static_cast<guchar>(p >> 8);
      out[2] = static_cast<guchar>(p);
      out[3] = static_cast<guchar>(p >> 24);
    }
  }
  return pixbuf;
}

bool status_notifier_watcher_present() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    g_clear_error(&error);
    return false;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000,
      nullptr, &error);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_clear_error(&error);
  g_object_unref(bus);
  return owned;
}

std::filesystem::path runtime_folder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::filesystem::path(runtime) / kApplicationId;
  return std::filesystem::temp_directory_path() /
         (std::string(kApplicationId) + "-" + std::to_string(static_cast<long>(getuid())));
}

// A std::function carried through a GLib callback; deleted with the source or the signal.
struct Callback {
  std::function<void()> body;
  static gboolean once(gpointer self) {
    static_cast<Callback*>(self)->body();
    return G_SOURCE_REMOVE;
  }
  static gboolean repeat(gpointer self) {
    static_cast<Callback*>(self)->body();
    return G_SOURCE_CONTINUE;
  }
  static void destroy(gpointer self) { delete static_cast<Callback*>(self); }
  static void closure_destroy(gpointer self, GClosure*) { destroy(self); }
};

class GtkTrayToolkit : public TrayToolkit {
 public:
  GtkTrayToolkit() : use_indicator_(status_notifier_watcher_present()) {}
  ~GtkTrayToolkit() override { remove_icon(); }

  void set_icon(PictureSource picture, const std::string& tip) override {
    picture_ = std::move(picture);
    tip_ = tip;
    if (use_indicator_) {
      show_indicator();
    } else {
      show_status_icon();
    }
  }

  void remove_icon() override {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (status_icon_) gtk_status_icon_set_visible(status_icon_, FALSE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (indicator_) app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
  }

  void on_activate(std::function<void()> handler) override { activate_ = std::move(handler); }

  // The session's end reaches a GTK program as a stop signal or a lost display, not a message.
  void on_session_end(std::function<void()>) override {}

  void every(std::chrono::milliseconds period, std::function<void()> handler) override {
    g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(period.count()), Callback::repeat,
                       new Callback{std::move(handler)}, Callback::destroy);
  }

  void post_to_main_thread(std::function<void()> handler) override {
    g_idle_add_full(G_PRIORITY_DEFAULT, Callback::once, new Callback{std::move(handler)},
                    Callback::destroy);
  }

  void show_menu(const std::vector<TrayMenuEntry>& entries,
                 std::function<void(int)> chosen) override {
    GtkWidget* menu = use_indicator_ ? indicator_menu_ : gtk_menu_new();
    if (use_indicator_) {
      // The host shows this menu whenever the person opens it, and it is refreshed every few
      // seconds: new texts go into the items in place, so an open menu stays as it is. Only a
      // change of its entries or check marks builds it anew (setting a check mark would run its
      // command).
      if (same_entries_but_texts(entries, indicator_entries_)) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
          if (entries[i].kind != TrayMenuEntry::Kind::Separator &&
              entries[i].text != indicator_entries_[i].text) {
            gtk_menu_item_set_label(GTK_MENU_ITEM(indicator_items_[i]), entries[i].text.c_str());
          }
        }
        indicator_entries_ = entries;
        return;
      }
      gtk_container_foreach(
          GTK_CONTAINER(menu), [](GtkWidget* item, gpointer) { gtk_widget_destroy(item); },
          nullptr);
      indicator_entries_ = entries;
      indicator_items_.clear();
    }
    auto on_choice = std::make_shared<std::function<void(int)>>(std::move(chosen));
    for (const TrayMenuEntry& entry : entries) {
      GtkWidget* item = nullptr;
      switch (entry.kind) {
        case TrayMenuEntry::Kind::Separator:
          item = gtk_separator_menu_item_new();
          break;
        case TrayMenuEntry::Kind::Label:
          item = gtk_menu_item_new_with_label(entry.text.c_str());
          gtk_widget_set_sensitive(item, FALSE);
          break;
        case TrayMenuEntry::Kind::Command:
          if (entry.checkable) {
            item = gtk_check_menu_item_new_with_label(entry.text.c_str());
            gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), entry.checked);
          } else {
            item = gtk_menu_item_new_with_label(entry.text.c_str());
          }
          connect_choice(item, entry.id, on_choice);
          break;
      }
      gtk_widget_show(item);
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
      if (use_indicator_) indicator_items_.push_back(item);
    }
    if (use_indicator_) return;  // the host shows it when the icon is clicked
    g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkWidget* m, gpointer) {
                       // Destroyed once the chosen item's handler has been queued.
                       g_idle_add(
                           +[](gpointer w) {
                             gtk_widget_destroy(GTK_WIDGET(w));
                             return G_SOURCE_REMOVE;
                           },
                           m);
                     }),
                     nullptr);
    GdkEvent* event = gtk_get_current_event();
    gtk_menu_popup_at_pointer(GTK_MENU(menu), event);
    if (event) gdk_event_free(event);
  }

  MessageAnswer message_box(const std::string& text, const std::string& title, MessageIcon icon,
                            MessageButtons buttons) override {
    const GtkMessageType type = icon == MessageIcon::Warning    ? GTK_MESSAGE_WARNING
                                : icon == MessageIcon::Error    ? GTK_MESSAGE_ERROR
                                : icon == MessageIcon::Question ? GTK_MESSAGE_QUESTION
                                                                : GTK_MESSAGE_INFO;
    const GtkButtonsType kind = buttons == MessageButtons::OkCancel ? GTK_BUTTONS_OK_CANCEL
                                : buttons == MessageButtons::YesNo  ? GTK_BUTTONS_YES_NO
                                                                    : GTK_BUTTONS_OK;
    // The title is also the box's heading: many Linux desktops draw dialogs without a title
    // bar, and a box holding only the password would not say what it is.
    GtkWidget* box =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, kind, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box), "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), title.c_str());
    gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    const gint response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    switch (response) {
      case GTK_RESPONSE_OK:
        return MessageAnswer::Ok;
      case GTK_RESPONSE_YES:
        return MessageAnswer::Yes;
      case GTK_RESPONSE_NO:
        return MessageAnswer::No;
      default:
        // Closed or Esc: the cancel answer of each kind.
        return buttons == MessageButtons::YesNo ? MessageAnswer::No
               : buttons == MessageButtons::Ok  ? MessageAnswer::Ok
                                                : MessageAnswer::Cancel;
    }
  }

  std::optional<std::string> password_form(const PasswordFormLogic& logic) override;
  void raise_password_form() override {
    if (password_dialog_) gtk_window_present(GTK_WINDOW(password_dialog_));
  }

  bool copy_to_clipboard(const std::string& text) override {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (!clipboard) return false;
    // GTK keeps a copy and serves it until another owner takes the selection.
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    return true;
  }

  void open_with_default_application(const std::string& target) override {
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(target.c_str()), nullptr};
    GError* error = nullptr;
    if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                       &error)) {
      log_message("tray: could not start xdg-open: %s", error ? error->message : "?");
      g_clear_error(&error);
    }
  }

  void run() override { gtk_main(); }
  void quit() override { gtk_main_quit(); }

 private:
  static bool same_entries_but_texts(const std::vector<TrayMenuEntry>& a,
                                     const std::vector<TrayMenuEntry>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].kind != b[i].kind || a[i].id != b[i].id || a[i].checkable != b[i].checkable ||
          a[i].checked != b[i].checked) {
        return false;
      }
    }
    return true;
  }

  static void connect_choice(GtkWidget* item, int id,
                             const std::shared_ptr<std::function<void(int)>>& chosen) {
    // Run after the menu has closed, so a command's dialog does not open under it.
    auto* callback = new Callback{[id, chosen] {
      auto run = new Callback{[id, chosen] { (*chosen)(id); }};
      g_idle_add_full(G_PRIORITY_DEFAULT, Callback::once, run, Callback::destroy);
    }};
    g_signal_connect_data(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                            static_cast<Callback*>(self)->body();
                          }),
                          callback, Callback::closure_destroy, GConnectFlags(0));
  }

  void show_status_icon() {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (!status_icon_) {
      status_icon_ = gtk_status_icon_new();
      gtk_status_icon_set_name(status_icon_, kApplicationId);
      gtk_status_icon_set_title(status_icon_, "Tolvi Host");
      auto open = +[](GtkStatusIcon*, gpointer self) {
        auto* toolkit = static_cast<GtkTrayToolkit*>(self);
        if (toolkit->activate_) toolkit->activate_();
      };
      g_signal_connect(status_icon_, "activate", G_CALLBACK(open), this);
      g_signal_connect(status_icon_, "popup-menu",
                       G_CALLBACK(+[](GtkStatusIcon* icon, guint, guint, gpointer self) {
                         auto* toolkit = static_cast<GtkTrayToolkit*>(self);
                         (void)icon;
                         if (toolkit->activate_) toolkit->activate_();
                       }),
                       this);
      // A desktop without any tray shows nothing: say so once, so the log explains it.
      g_timeout_add_seconds(
          kEmbedCheckSeconds,
          +[](gpointer icon) -> gboolean {
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            if (!gtk_status_icon_is_embedded(GTK_STATUS_ICON(icon))) {
              log_message("tray: this desktop has no system tray; the icon cannot be shown");
            }
            G_GNUC_END_IGNORE_DEPRECATIONS
            return G_SOURCE_REMOVE;
          },
          status_icon_);
      // The tray tells us the size it shows the icon at: the picture is drawn for it.
      g_signal_connect(status_icon_, "size-changed",
                       G_CALLBACK(+[](GtkStatusIcon*, gint size, gpointer self) -> gboolean {
                         static_cast<GtkTrayToolkit*>(self)->draw_status_icon(size);
                         return TRUE;
                       }),
                       this);
    }
    const gint size = gtk_status_icon_get_size(status_icon_);
    draw_status_icon(size > 0 ? size : 16);
    gtk_status_icon_set_tooltip_text(status_icon_, tip_.c_str());
    gtk_status_icon_set_visible(status_icon_, TRUE);
    G_GNUC_END_IGNORE_DEPRECATIONS
  }

  void draw_status_icon(int size) {
    if (!picture_ || size <= 0) return;
    GdkPixbuf* pixbuf = make_pixbuf(picture_(size), size);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_status_icon_set_from_pixbuf(status_icon_, pixbuf);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_object_unref(pixbuf);
  }

  // The StatusNotifierItem names its picture: each status gets files of its own, so the host
  // sees a new name (and reloads) whenever the picture changes.
  void show_indicator() {
    const std::filesystem::path folder = runtime_folder() / "icons";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string name = std::string(kApplicationId) + "-" + std::to_string(++picture_serial_);
    for (int size : kIndicatorSizes) {
      const std::filesystem::path sized =
          folder / "hicolor" / (std::to_string(size) + "x" + std::to_string(size)) / "apps";
      std::filesystem::create_directories(sized, ignored);
      GdkPixbuf* pixbuf = make_pixbuf(picture_(size), size);
      gdk_pixbuf_save(pixbuf, (sized / (name + ".png")).c_str(), "png", nullptr, nullptr);
      if (size == kIndicatorSizes[std::size(kIndicatorSizes) - 1]) {
        gdk_pixbuf_save(pixbuf, (folder / (name + ".png")).c_str(), "png", nullptr, nullptr);
      }
      g_object_unref(pixbuf);
    }
    if (!indicator_) {
      indicator_ = app_indicator_new(kApplicationId, name.c_str(),
                                     APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
      app_indicator_set_icon_theme_path(indicator_, folder.c_str());
      indicator_menu_ = gtk_menu_new();
      app_indicator_set_menu(indicator_, GTK_MENU(indicator_menu_));
      every(std::chrono::milliseconds(kIndicatorMenuRefreshMs), [this] {
        if (activate_) activate_();
      });
    }
    app_indicator_set_icon_full(indicator_, name.c_str(), tip_.c_str());
    app_indicator_set_title(indicator_, tip_.c_str());
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    // The menu shows the status too: rebuild it now.
    if (activate_) activate_();
    // Old pictures go; the one in use stays.
    if (!previous_name_.empty()) {
      for (int size : kIndicatorSizes) {
        std::filesystem::remove(folder / "hicolor" /
                                    (std::to_string(size) + "x" + std::to_string(size)) / "apps" /
                                    (previous_name_ + ".png"),
                                ignored);
      }
      std::filesystem::remove(folder / (previous_name_ + ".png"), ignored);
    }
    previous_name_ = name;
  }

  const bool use_indicator_;
  PictureSource picture_;
  std::string tip_;
  std::function<void()> activate_;
  GtkStatusIcon* status_icon_ = nullptr;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* indicator_menu_ = nullptr;
  // What the indicator's menu shows now, entry by entry.
  std::vector<TrayMenuEntry> indicator_entries_;
  std::vector<GtkWidget*> indicator_items_;
  unsigned picture_serial_ = 0;
  GtkWidget* password_dialog_ = nullptr;  // while password_form() runs
  std::string previous_name_;
};

std::optional<std::string> GtkTrayToolkit::password_form(const PasswordFormLogic& logic) {
  return run_gtk_password_form(logic, password_dialog_);
}

// GTK 3's own status icon trips an assertion of GDK's when an XEmbed tray embeds it
// ("gdk_window_thaw_toplevel_updates: assertion ... failed", a GTK fault that changes
// nothing): that one message is dropped; every other goes on to GLib's default handler.
constexpr char kEmbedAssertion[] = "gdk_window_thaw_toplevel_updates";

void drop_embed_assertion(const gchar* domain, GLogLevelFlags level, const gchar* message,
                          gpointer) {
  if (message && std::strstr(message, kEmbedAssertion)) return;
  g_log_default_handler(domain, level, message, nullptr);
}

}  // namespace

std::unique_ptr<TrayToolkit> make_tray_toolkit() {
  // X11 first: the XEmbed tray needs it, and the host captures the X display anyway.
  gdk_set_allowed_backends("x11,*");
  g_log_set_handler("Gdk", G_LOG_LEVEL_CRITICAL, drop_embed_assertion, nullptr);
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return std::make_unique<GtkTrayToolkit>();
}

}  // namespace tolvi::platform

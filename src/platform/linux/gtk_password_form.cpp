// The Set Password form on a Linux desktop: a GTK 3 dialog with the same fields, texts, order
// and checks as the Windows form.
#include "platform/linux/gtk_password_form.h"

#include "base/secure_zero.h"

namespace tolvi::platform {
namespace {

constexpr int kDialogWidth = 370;
constexpr int kDialogHeight = 170;
constexpr int kFieldWidth = 243;
constexpr int kLabelWidth = 100;
// The form's own response for "Generate Secure Password": it keeps the form open.
constexpr int kGenerateResponse = 103;

// Reads a field and empties it, wiping GTK's copy as far as GTK lets us.
std::string take_field(GtkWidget* entry) {
  std::string text = gtk_entry_get_text(GTK_ENTRY(entry));
  GtkEntryBuffer* buffer = gtk_entry_get_buffer(GTK_ENTRY(entry));
  gtk_entry_buffer_delete_text(buffer, 0, -1);
  return text;
}

}  // namespace

std::optional<std::string> run_gtk_password_form(const PasswordFormLogic& logic,
                                                 GtkWidget*& open_dialog) {
  GtkWidget* dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), "Set Tolvi Host Password");
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(dialog), kDialogWidth, kDialogHeight);
  gtk_window_set_type_hint(GTK_WINDOW(dialog), GDK_WINDOW_TYPE_HINT_DIALOG);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 10);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 3);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 12);
  GtkWidget* fields[2];
  const char* labels[2] = {"New password:", "Confirm:"};
  for (int i = 0; i < 2; ++i) {
    GtkWidget* label = gtk_label_new(labels[i]);
    gtk_widget_set_size_request(label, kLabelWidth, -1);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    fields[i] = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(fields[i]), FALSE);
    gtk_entry_set_max_length(GTK_ENTRY(fields[i]), 255);
    gtk_entry_set_activates_default(GTK_ENTRY(fields[i]), TRUE);
    gtk_widget_set_size_request(fields[i], kFieldWidth, -1);
    gtk_widget_set_name(fields[i], i == 0 ? "new-password" : "confirm-password");
    gtk_grid_attach(GTK_GRID(grid), label, 0, i, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), fields[i], 1, i, 1, 1);
  }
  GtkWidget* message = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(message), 0.0f);
  gtk_grid_attach(GTK_GRID(grid), message, 0, 2, 2, 1);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), grid, TRUE, TRUE, 0);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Generate Secure Password", kGenerateResponse);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Save", GTK_RESPONSE_OK);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_widget_show_all(dialog);
  gtk_window_present(GTK_WINDOW(dialog));
  gtk_widget_grab_focus(fields[0]);
  open_dialog = dialog;

  std::optional<std::string> saved;
  for (;;) {
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (response == kGenerateResponse) {
      std::string generated = logic.generate();
      for (GtkWidget* field : fields) {
        gtk_entry_set_visibility(GTK_ENTRY(field), TRUE);  // in clear from now on
        gtk_entry_set_text(GTK_ENTRY(field), generated.c_str());
      }
      secure_zero(generated.data(), generated.size());
      gtk_widget_grab_focus(fields[0]);
      gtk_editable_select_region(GTK_EDITABLE(fields[0]), 0, -1);
      gtk_label_set_text(GTK_LABEL(message),
                         "Copy this password into Tolvi on your other devices.");
      continue;
    }
    if (response != GTK_RESPONSE_OK) break;
    std::string first = gtk_entry_get_text(GTK_ENTRY(fields[0]));
    std::string second = gtk_entry_get_text(GTK_ENTRY(fields[1]));
    const std::optional<std::string> problem = logic.check(first, second);
    secure_zero(second.data(), second.size());
    if (problem) {
      secure_zero(first.data(), first.size());
      GtkWidget* box =
          gtk_message_dialog_new(GTK_WINDOW(dialog), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                 GTK_BUTTONS_OK, "%s", problem->c_str());
      gtk_window_set_title(GTK_WINDOW(box), "Tolvi Host");
      gtk_dialog_run(GTK_DIALOG(box));
      gtk_widget_destroy(box);
      continue;
    }
    saved = std::move(first);
    break;
  }
  for (GtkWidget* field : fields) {
    std::string left = take_field(field);
    secure_zero(left.data(), left.size());
  }
  open_dialog = nullptr;
  gtk_widget_destroy(dialog);
  return saved;
}

}  // namespace tolvi::platform

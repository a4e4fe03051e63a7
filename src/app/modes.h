#pragma once

namespace tolvi {

// Entry points of the run modes. Each returns the process exit code.

int run_scaling_command();           // --get-scale / --set-scale n
int run_service();                   // --service
int run_agent();                     // --agent
int run_host_for_test();             // --test-host, after its arguments were accepted
int run_drive_mapping_diagnostic();  // --test-run-as-user
int install_host(bool quiet);        // --install
int uninstall_host(bool quiet);      // --uninstall
int change_password_with_dialog();   // --password-dialog: 0 saved, 1 cancelled or failed
int run_tray_application();          // no option

// From here on SIGTERM and SIGINT (console events on Windows) stop a serving mode in order
// instead of killing the process. Before the process starts any thread.
void watch_for_stop_signals();
// For a process whose host server runs on a thread of its own (the tray): a stop signal ends it
// with end_process_after_wind_down. Before the process starts any other thread.
void end_on_stop_signals();
// Winds the serving session down (held keys, display mode, mounts; at most 5 s), restores the
// display and ends the process with 0.
[[noreturn]] void end_process_after_wind_down();

}  // namespace tolvi

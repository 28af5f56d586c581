// Both roles: the run directory's path, the payload resource, the parent's
// console handler and the header check that arms clean-up.
#include "diagnostics/failure.h"
#include "launcher/launcher.h"
#include "platform/path_template.h"

void open_run_directory_and_payload() {
    bool expanded = expand_path_template(launcher.run_directory, RUN_DIRECTORY_TEMPLATE,
                                         RUN_DIRECTORY_CAPACITY);
    // The resource is located before the expansion's result is looked at.
    launcher.payload = open_payload_archive();
    if (!expanded) fail_expand_template(RUN_DIRECTORY_TEMPLATE);

    if (!launcher.child_role && !win32.SetConsoleCtrlHandler(console_control_handler, TRUE))
        fail_with_message(MESSAGE_SIGNAL_HANDLER);

    if (!check_payload_header(launcher.payload)) fail_no_payload_header();
    launcher.cleanup_armed.store(true);
}

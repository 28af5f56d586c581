// Both roles: the run directory's path, the payload resource, the parent's
// console handler and the header check that arms clean-up.
#include "diagnostics/failure.h"
#include "launcher/launcher.h"
#include "platform/path_template.h"
#include "resources/branding_record.h"

const u16* record_run_directory_template() {
    const u16* stored = launcher_branding.run_directory;
    // The packer always terminates it; a record without one is not trusted.
    if (stored[0] == 0 || stored[RUN_DIRECTORY_TEMPLATE_CAPACITY - 1] != 0)
        return DEFAULT_RUN_DIRECTORY_TEMPLATE;
    return stored;
}

bool sweep_pattern_of_launcher(run_directory_pattern& pattern) {
    template_texts texts = {launcher_branding.company, launcher_branding.product,
                            launcher_branding.version};
    return make_run_directory_pattern(record_run_directory_template(), texts, pattern) == nullptr;
}

void open_run_directory_and_payload() {
    launcher.run_directory_template = record_run_directory_template();
    bool expanded = expand_path_template(launcher.run_directory, launcher.run_directory_template,
                                         RUN_DIRECTORY_CAPACITY);
    // The resource is located before the expansion's result is looked at.
    launcher.payload = open_payload_archive();
    if (!expanded) fail_expand_template(launcher.run_directory_template);

    if (!launcher.child_role && !win32.SetConsoleCtrlHandler(console_control_handler, TRUE))
        fail_with_message(MESSAGE_SIGNAL_HANDLER);

    if (!check_payload_header(launcher.payload)) fail_no_payload_header();
    launcher.cleanup_armed.store(true);
}

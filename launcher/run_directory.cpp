// Both roles: the run directory's path, the payload resource, the parent's
// console handler and the header check that arms clean-up.
#include "diagnostics/failure.h"
#include "launcher/launcher.h"
#include <cstdlib>

#include "format/branding_record.h"
#include "payload/archive_resource.h"
#include "platform/environment.h"
#include "platform/path_template.h"

const u16* record_run_directory_template() {
    const u16* stored = launcher_branding.run_directory;
    // The packer always terminates it; a record without one is not trusted.
    if (stored[0] == 0 || stored[RUN_DIRECTORY_TEMPLATE_CAPACITY - 1] != 0)
        return DEFAULT_RUN_DIRECTORY_TEMPLATE;
    return stored;
}

bool sweep_target_of_launcher(bool beside_cache, run_directory_pattern& pattern, u16* folder,
                              const u16*& own_name) {
    template_texts texts = {launcher_branding.company, launcher_branding.product,
                            launcher_branding.version};
    if (!beside_cache)
        return split_directory_path(launcher.run_directory, folder, own_name) &&
               make_run_directory_pattern(launcher.run_directory_template, texts, pattern) == nullptr;
    // Beside a cache: the staging directories of starts that are gone,
    // <cache>.staging_<PARENT>_<START>, and those renamed out of the way.
    if (!split_directory_path(cache_run_directory(), folder, own_name)) return false;
    size_t length = u16_length(own_name), infix = u16_length(CACHE_STAGING_INFIX);
    if (length + infix + 1 > NAME_PART_CAPACITY) return false;
    for (size_t index = 0; index < length; ++index) pattern.prefix[index] = own_name[index];
    for (size_t index = 0; index <= infix; ++index) pattern.prefix[length + index] = CACHE_STAGING_INFIX[index];
    pattern.middle[0] = U16('_');
    pattern.middle[1] = 0;
    pattern.suffix[0] = 0;
    pattern.process_id_first = true;
    return true;
}

void open_run_directory_and_payload() {
    launcher.run_directory_template = record_run_directory_template();
    launcher.cache_template =
        run_directory_template_kind(launcher.run_directory_template) == run_directory_kind::cache;
    if (launcher.cache_template) {
        // A parent starts with the cache; the start variable is set only when
        // it falls back to a directory of its own under {TEMP} (its default
        // template's {TIME}), and so tells the child where to look.
        u16* start = launcher.child_role ? get_env_var(START_VARIABLE) : nullptr;
        if (!launcher.child_role) unset_env_var(START_VARIABLE);
        bool fell_back = start != nullptr && start[0] != 0;
        free(start);
        if (fell_back)
            launcher.run_directory_template = DEFAULT_RUN_DIRECTORY_TEMPLATE;
        else
            launcher.keep_run_directory.store(true);
    }
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

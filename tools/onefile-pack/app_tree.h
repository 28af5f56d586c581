// The application tree in archive order (app_tree.cpp), as the archive's
// writer takes it.
#pragma once
#include <vector>

#include "errors.h"
#include "format/archive_writer.h"

namespace pack {

// A file of the tree: its name as stored, and its source file, or its bytes
// in `data` when `source` is empty.
using app_entry = archive_input;

// Archive order: `main_name` first; then the other top-level files in
// ascending order of their UTF-16 units; then each subdirectory in that same
// order, depth first, a directory's own files before its subdirectories, so
// that all files of one directory stand together. Symbolic links to regular
// files are stored as the file they point to; links to directories, dangling
// links and special files are refused. Empty directories are not recorded.
// With `main_source` given, the first entry is that file, stored as
// `main_name`, and APP_DIR must not hold a top-level file of that name.
std::vector<app_entry> scan_app_tree(const fs::path& app_dir, const std::u16string& main_name,
                                     const fs::path& main_source = {});
// Refuses (refused_error) names the launcher could not make as they stand:
// too long, a component Windows cannot create, two equal without regard to
// case, or a file where another name needs a directory.
void check_entry_names(const std::vector<app_entry>& entries);

// Inserts `entry` where scan_app_tree's order puts it.
void insert_in_archive_order(std::vector<app_entry>& entries, const app_entry& entry);

}  // namespace pack

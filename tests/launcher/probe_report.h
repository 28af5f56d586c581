// What the probe application writes for the end-to-end tests: UTF-16 records
// "key NUL value NUL", so every text comes back exactly, spaces and
// non-ASCII units included. Shared by the probe library and the harness.
#pragma once

constexpr wchar_t REPORT_ARGC[] = L"argc";
constexpr wchar_t REPORT_ARGV_PREFIX[] = L"argv";
constexpr wchar_t REPORT_CURRENT_DIRECTORY[] = L"current_directory";
constexpr wchar_t REPORT_MODULE[] = L"module";
constexpr wchar_t REPORT_PROCESS_ID[] = L"process_id";
constexpr const wchar_t* REPORT_VARIABLES[] = {
    L"TALVOR_ONEFILE_PARENT", L"TALVOR_ONEFILE_START", L"TALVOR_ONEFILE_DIRECTORY",
    L"TALVOR_ORIGINAL_ARGV0"};

// Statuses of the probe's own failures, far from anything a test expects.
constexpr int PROBE_STATUS_REPORT_FAILED = 101;
constexpr int PROBE_STATUS_BAD_SCRIPT = 102;
constexpr int PROBE_STATUS_NESTED_FAILED = 103;

// A well-formedness check of an application manifest before it replaces
// RT_MANIFEST 1: the XML rules a loader's parser enforces, not the manifest
// schema. Platform-free: bytes only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// True for one well-formed XML document in UTF-8 (a byte-order mark and an
// XML declaration are allowed; a document type declaration is not, since no
// manifest needs one). Otherwise false, with `error` naming the line and the
// fault.
bool check_manifest_xml(const std::vector<uint8_t>& document, std::string& error);

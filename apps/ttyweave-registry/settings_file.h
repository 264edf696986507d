// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <string>

// The Registry's settings: section -> key -> value.
using Sections = std::map<std::string, std::map<std::string, std::string>>;

// The settings in a settings file's text, the JSON document {"section": {"key": "value"}}.
// Throws std::runtime_error saying what is wrong when the text is not such a document.
Sections ParseSections(const std::string& text);

// The settings as that JSON document, on one line.
std::string FormatSections(const Sections& sections);

// The settings the service starts from: the store's when it exists and can be read; otherwise
// those of the defaults file (none when `defaults` is empty). A store that is no such document
// is reported on stderr and renamed aside to "<store>.corrupt-<UTC time>", so that it is kept
// for inspection and the next change does not overwrite it. Throws when the store cannot be
// read at all, or the defaults file cannot be read or is no such document: both need a person.
Sections LoadSettings(const std::string& store, const std::string& defaults);

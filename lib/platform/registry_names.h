// SPDX-License-Identifier: MIT
#pragma once

// Where the Registry settings service lives on the system bus, and the error names it answers
// with: shared by the client and the Registry service.
namespace registry_names {

constexpr char kService[] = "com.zarnix.Registry";
constexpr char kObjectPath[] = "/com/zarnix/Registry";
constexpr char kInvalidNameError[] = "com.zarnix.Registry.Errors.InvalidName";
constexpr char kFullError[] = "com.zarnix.Registry.Errors.Full";
constexpr char kInvalidJsonError[] = "com.zarnix.Registry.Errors.InvalidJson";

}  // namespace registry_names

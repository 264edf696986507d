#pragma once

#include <string>

// Moves the calling process into a mount namespace of its own whose mounts do not propagate
// back, so that bind mounts made afterwards are seen by it and its children only.
// Returns false (with errno set) when the kernel refuses.
bool EnterPrivateMountNamespace();

// Binds `source` over `target` (both must exist, both files or both directories).
bool BindMount(const std::string& source, const std::string& target);

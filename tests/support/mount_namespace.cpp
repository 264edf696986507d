#include "mount_namespace.h"

#include <sched.h>
#include <sys/mount.h>

bool EnterPrivateMountNamespace() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool BindMount(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

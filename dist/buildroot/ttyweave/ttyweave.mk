# SPDX-License-Identifier: MIT
# An example Buildroot package, not tested: the daemon and the client, without tracing and
# with the device's own Registry service. Set the version and site to where the tree is kept.
TTYWEAVE_VERSION = 0.1.0
TTYWEAVE_SITE = $(call github,example,ttyweave,v$(TTYWEAVE_VERSION))
TTYWEAVE_LICENSE = MIT
TTYWEAVE_LICENSE_FILES = LICENSE
# dbusxx-xml2cpp runs on the build host.
TTYWEAVE_DEPENDENCIES = boost dbus dbus-cpp fmt host-dbus-cpp
TTYWEAVE_CONF_OPTS = -DTTYWEAVE_TRACING=OFF -DTTYWEAVE_REGISTRY=OFF

define TTYWEAVE_USERS
	tessaline -1 tessaline -1 * /var/lib/ttyweave /usr/bin/ttyweave-attach - console sharing
endef

# BusyBox init runs the daemon on the serial line with BusyBox's getty, which sets the terminal
# up and hands over to login (turn off BR2_TARGET_GENERIC_GETTY, which would read the same
# line). tessaline's shell, ttyweave-attach, only joins the session; dropbear wants it listed
# in /etc/shells.
define TTYWEAVE_INSTALL_INIT_SYSV
	grep -q ttyweave $(TARGET_DIR)/etc/inittab || \
		echo 'ttyS0::respawn:/usr/sbin/ttyweave /sbin/getty -L 0 - vt100' >> $(TARGET_DIR)/etc/inittab
	grep -qx /usr/bin/ttyweave-attach $(TARGET_DIR)/etc/shells || \
		echo /usr/bin/ttyweave-attach >> $(TARGET_DIR)/etc/shells
endef

$(eval $(cmake-package))

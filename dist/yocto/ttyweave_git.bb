# SPDX-License-Identifier: MIT
# An example recipe for a Yocto image (kirkstone or later), not tested: the daemon, the client,
# the unit and the user the socket belongs to. Set SRC_URI and SRCREV to where the tree is kept.
SUMMARY = "Console shared between the serial line and network terminals"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=<md5sum of LICENSE>"
SRC_URI = "git://git.example.com/ttyweave.git;protocol=https;branch=main"
SRCREV = "<commit>"
S = "${WORKDIR}/git"

# dbusxx-xml2cpp runs on the build host; libdbus-c++ is in meta-oe.
DEPENDS = "fmt boost dbus libdbus-c++ libdbus-c++-native"
inherit cmake pkgconfig systemd useradd

# Without the tracing feature the daemon does not link LTTng-UST; the device's own Registry
# service is assumed (drop TTYWEAVE_REGISTRY=OFF to build and install the shipped one).
PACKAGECONFIG ??= "tracing"
PACKAGECONFIG[tracing] = "-DTTYWEAVE_TRACING=ON,-DTTYWEAVE_TRACING=OFF,lttng-ust"
EXTRA_OECMAKE = "-DTTYWEAVE_REGISTRY=OFF -DTTYWEAVE_SYSTEMD_UNITDIR=${systemd_system_unitdir}"

SYSTEMD_SERVICE:${PN} = "ttyweave.service"
USERADD_PACKAGES = "${PN}"
# The login shell only joins the session (ttyweave-attach(1)); with-terminal is in /usr/lib/ttyweave.
USERADD_PARAM:${PN} = "--system --home-dir /var/lib/ttyweave --shell /usr/bin/ttyweave-attach tessaline"
FILES:${PN} += "${prefix}/lib/ttyweave"
FILES:${PN} += "${sysconfdir}/ssh"

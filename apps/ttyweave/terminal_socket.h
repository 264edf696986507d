// SPDX-License-Identifier: MIT
#pragma once

// What the daemon and its clients agree on about the socket network terminals connect to.

// Where network terminals connect, and who may: only this user (and root) can reach the socket.
inline constexpr char kListenerPath[] = "/var/run/ttyweave-socket";
inline constexpr char kListenerOwner[] = "tessaline";
// All that a connection the daemon has no room for receives before it is closed.
inline constexpr char kTooManyTerminals[] = "Too many terminals";

// Where viewers connect, and who may: they receive everything but cannot type.
inline constexpr char kViewListenerPath[] = "/var/run/ttyweave-view-socket";
inline constexpr char kViewListenerOwner[] = "tessaline-view";

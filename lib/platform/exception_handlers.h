// SPDX-License-Identifier: MIT
#pragma once

// Installs the process's terminate and unexpected handlers: each prints the type and what()
// of the exception in flight, flushes stderr and reports an assertion before aborting.
void InstallExceptionHandlers();

// The terminate handler's report without its abort: the type and what() of the exception in
// flight, stderr synced, and the uncaught-exception assertion record. For callers that end the
// process in order after the same report.
void ReportUncaughtException();

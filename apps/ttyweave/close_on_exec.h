// SPDX-License-Identifier: MIT
#pragma once

// Marks every descriptor above standard error close-on-exec, so that a program executed next
// holds only descriptors 0, 1 and 2, whatever the daemon and its libraries opened (the D-Bus
// library, for one, opens its dispatcher's pipe without the flag). Never fails.
void CloseOnExecAboveStandardDescriptors();

// The Detect state's work: read the configuration files and wait for the
// camera unit's device node.
#pragma once

// 0 when both configuration files are read and the device node exists (waits
// for the node without limit), -1 when a file cannot be read or the main
// state is not Detect.
int detect_hw(void);

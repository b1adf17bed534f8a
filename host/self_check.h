#pragma once

// Assembles a small program (a loop, a call, a builtin call), runs it on the
// interpreter slice by slice and prints what it computed. Returns the process
// exit status: 0 when every result is right.
int RunVmSelfCheck();

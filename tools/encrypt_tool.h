// SPDX-License-Identifier: Apache-2.0
// The signing run of encrypt_tool, callable in-process for tests and fuzzing.
#pragma once

// Runs the tool on argv[1..5]: in_file out_file code_file rsakey_file
// rsakey_file_comm. Prints at most one line on standard output.
// Returns the exit status: 0 after a complete run, 1 on any refusal or error.
int encrypt_tool_run(int argc, char **argv);

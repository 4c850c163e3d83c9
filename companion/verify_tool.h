// SPDX-License-Identifier: Apache-2.0
// The run of verify_tool, callable in process for the fuzzer.
#pragma once

// Runs verify_tool on argv. Prints the report on standard output and errors on
// standard error. Returns the exit status: 0 verified, 1 a check failed, 2 a
// usage or file error.
int verify_tool_run(int argc, char **argv);

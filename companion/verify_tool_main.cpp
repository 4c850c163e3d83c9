// SPDX-License-Identifier: Apache-2.0
#include "cli.h"
#include "output_file.h"
#include "process_secrets.h"
#include "token_key.h"
#include "verify_tool.h"

int main(int argc, char **argv)
{
    process_open_standard_descriptors();
    secrets_protect_process();
    output_install_signal_handlers();
    token_set_tool_name("verify_tool");
    int nStatus = cli_close_stdout(verify_tool_run(argc, argv));
    secrets_wipe_at_exit();
    return nStatus;
}

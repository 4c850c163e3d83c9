#include "output_file.h"
#include "process_secrets.h"
#include "verify_tool.h"

int main(int argc, char **argv)
{
    secrets_protect_process();
    output_install_signal_handlers();
    int nStatus = verify_tool_run(argc, argv);
    secrets_wipe_at_exit();
    return nStatus;
}

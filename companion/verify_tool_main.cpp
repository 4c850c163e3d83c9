#include "output_file.h"
#include "verify_tool.h"

int main(int argc, char **argv)
{
    output_install_signal_handlers();
    return verify_tool_run(argc, argv);
}

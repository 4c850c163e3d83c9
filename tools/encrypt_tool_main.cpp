#include "encrypt_tool.h"
#include "output_file.h"

int main(int argc, char **argv)
{
    output_install_signal_handlers();
    return encrypt_tool_run(argc, argv);
}

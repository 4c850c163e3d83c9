#include "encrypt_tool.h"

int main(int argc, char **argv)
{
    return encrypt_tool_run(argc, argv);
}

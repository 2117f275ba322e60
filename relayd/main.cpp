#include "relayd/relayd_main.h"

int main(int argc, char** argv) {
    return relayd::RelaydMain(argc, argv);
}

#include "fanout_client/driver.h"

int main(int argc, char** argv) {
    return ClientMain(argc, argv);
}

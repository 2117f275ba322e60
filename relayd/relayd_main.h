// The relay server's driver: reads the command line and the configuration, then serves,
// dumps the store, or prints the checked configuration.
#ifndef RELAYD_RELAYD_MAIN_H
#define RELAYD_RELAYD_MAIN_H

namespace relayd {

// Exit status: 0 done, 2 a bad option, configuration, port or store (one line on stderr).
int RelaydMain(int argc, char** argv);

}  // namespace relayd

#endif  // RELAYD_RELAYD_MAIN_H

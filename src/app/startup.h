#pragma once

class QStringList;

// Sets the root logger to DEBUG, then applies "log.cfg" from the executable's directory.
void initLog();

// Walks the argument list (the program path included): "-r", in any letter case, makes the
// endpoint finder try only the relay path to a phone-hosted HomeBridge.
void applyForceRelaySwitch(const QStringList &arguments);

// The program: start-up, the event loop and shutdown. Returns the process exit code.
int runApplication(int &argc, char **argv);

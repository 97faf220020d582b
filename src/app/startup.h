#pragma once

// Sets the root logger to DEBUG, then applies "log.cfg" from the executable's directory.
void initLog();

// The program: start-up, the event loop and shutdown. Returns the process exit code.
int runApplication(int &argc, char **argv);

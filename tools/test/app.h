// The kyt_test program: start-up, the menus, shutdown.
#ifndef KYT_TEST_APP_H
#define KYT_TEST_APP_H

// Runs the whole program on the command line given; the exit status is 0
// whatever happened.
int RunTestUtility(int argc, char **argv);

#endif

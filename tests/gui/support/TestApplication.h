#pragma once

class QApplication;

// Defined by a test program that needs its own application class; called
// once by the shared test main, before any test runs. The result must be a
// QApplication (or subclass) made with new from the arguments given.
QApplication* hollinCreateTestApplication(int& argc, char** argv);

#ifndef WINDOWOPTIONS_H
#define WINDOWOPTIONS_H

// --help and --version of a window program, answered from the bare
// arguments before any window system is asked for, so that they work
// without a display.
class WindowOptions
{
public:
    // True when the arguments ask for either; the text has then been
    // printed and the program ends with 0.
    static bool answered(int argc, char *argv[], const char *usage, const char *versionLine);
};

#endif // WINDOWOPTIONS_H

#pragma once

#include <filesystem>
#include <string>

// A tiny script language shared by the stand-ins for the outside programs, so that a test decides
// what a stand-in does without any setting of the service. A script is a list of steps separated
// by ';' (write "\;" for a semicolon inside a step):
//
//   print TEXT     write TEXT to standard output ("\n", "\r", "\t", "\\" and "\;" are decoded)
//   eprint TEXT    the same on standard error
//   fill N         write N bytes of the repeating pattern "0123456789" to standard output
//   sleep MS       sleep MS milliseconds
//   listen PORT    listen on 127.0.0.1:PORT until the program ends (connections queue unanswered)
//   args           write the arguments after the program name, joined by single spaces, and "\n"
//   cwd            write the working directory and "\n"
//   fds            POSIX: write "fds:" and " N=TARGET" for every open descriptor, then "\n"
//   exit CODE      end with CODE (decimal or 0x-hex; the full 32 bits on Windows, so 0xC0000005
//                  reads like a crash)
//   raise SIGNAL   POSIX: end by that signal (11 for a crash); nothing on Windows
//   hold           stay running until killed
//
// Output is flushed after every step, so it is on disk even when the program is killed. A script
// that runs out of steps holds, as the real programs stay up until they are terminated.
namespace halvern::fakes {

// Binary standard streams on Windows: what the script prints is what lands in the log.
void prepareStandardStreams();

// Runs `script` with the program's arguments; returns only on a malformed step (the caller exits
// with 2 then, after the message on standard error).
void runBehaviour(const std::string& script, int argc, char** argv);

// The directory of the running executable, and its file name without the .exe suffix.
std::filesystem::path ownDirectory();
std::string ownStem();

// The whole file, or false when it cannot be read.
bool readWholeFile(const std::filesystem::path& path, std::string& content);

// Ends the program with `code` after flushing the standard streams.
[[noreturn]] void exitWith(unsigned long code);

}  // namespace halvern::fakes

// The switches a launcher takes on its command line. Only a build that follows release heads
// reads any: "--channel NAME", kept for later starts.
#pragma once

#include <string>

// The NAME of the last "--channel NAME" on commandLine, "" when there is none.
std::wstring ChannelSwitch(const wchar_t* commandLine);

// The command line that starts the installed copy at exe: its own path, and the channel this
// start was given when the build follows heads (the copy keeps it from then on), so that a
// download link to a test channel installs a launcher on that channel.
std::wstring InstalledCopyCommandLine(const std::wstring& exe, const wchar_t* commandLine,
                                      bool followsHeads);

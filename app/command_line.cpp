#include "app/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "net/release_head.h"

std::wstring ChannelSwitch(const wchar_t* commandLine) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(commandLine, &count);
    if (!args) return L"";
    std::wstring channel;
    for (int i = 1; i + 1 < count; ++i)
        if (std::wstring(args[i]) == L"--channel") channel = args[i + 1];
    LocalFree(args);
    return channel;
}

std::wstring InstalledCopyCommandLine(const std::wstring& exe, const wchar_t* commandLine,
                                      bool followsHeads) {
    std::wstring line = L"\"" + exe + L"\"";
    if (!followsHeads) return line;
    // Only a name the copy would keep goes on: nothing of it needs quoting.
    const std::string channel = ChannelNameOf(ChannelSwitch(commandLine));
    if (!channel.empty()) line += L" --channel " + std::wstring(channel.begin(), channel.end());
    return line;
}

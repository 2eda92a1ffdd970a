#include "command_line.h"

#include <cstdio>
#include <cstring>

namespace {

#ifdef _WIN32
#define VANTRELO_PORT_SEPARATOR "分号"
#else
#define VANTRELO_PORT_SEPARATOR "冒号"
#endif

// In the window's language, as every text of the program is.
const char usage[] =
    "用法：" VANTRELO_NAME " [--help] [--version]\n"
    "打开一个窗口，通过串口的 RTS 线控制单路继电器板：输入串口号，点击“打开串口”，\n"
    "再点击“吸合”或“断开”。\n"
    "\n"
    "  --help     显示本帮助并退出\n"
    "  --version  显示版本并退出\n"
    "\n"
    "环境变量：\n"
    "  VANTRELO_PORTS   用" VANTRELO_PORT_SEPARATOR
    "分隔的设备路径，代替本机的串口列表：第一个是 1 号串口，\n"
    "                   第二个是 2 号，依此类推；rfc2217://主机:端口 是另一台机器\n"
    "                   用 RFC 2217（ser2net）提供的串口\n"
#ifndef _WIN32
    "  QT_QPA_PLATFORM  在带 Xwayland 的 Wayland 会话中，除非此变量另选平台，程序在 X11 上运行\n"
    "\n"
    "详细说明：man " VANTRELO_NAME "\n"
#endif
    ;

} // namespace

std::optional<int> answerHelpOrVersion(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts(VANTRELO_NAME " " VANTRELO_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

std::optional<int> refuseUnknownArguments(int argc, char *argv[])
{
    if (argc < 2)
        return std::nullopt;
    std::fprintf(stderr, "%s：未知的选项或参数“%s”\n用 %s --help 查看用法。\n", VANTRELO_NAME,
                 argv[1], VANTRELO_NAME);
    return 2;
}

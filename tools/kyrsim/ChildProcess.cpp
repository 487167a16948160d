#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <linux/capability.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace kyrsim {

namespace {

std::vector<std::string> ChildEnvironment(const ChildSetup& setup)
{
    std::vector<std::string> environment;
    std::string szAsan = "ASAN_OPTIONS=";
    const char* szOriginalPreload = std::getenv(ORIGINAL_PRELOAD_VARIABLE);
    const std::string szSaved = std::string(ORIGINAL_PRELOAD_VARIABLE) + "=";
    for (char** pp = environ; *pp != nullptr; ++pp) {
        const std::string szEntry = *pp;
        if (szEntry.rfind("ASAN_OPTIONS=", 0) == 0)
            szAsan = szEntry + ":";
        else if (szEntry.rfind("LD_PRELOAD=", 0) == 0 && szOriginalPreload != nullptr)
            continue;
        else if (szEntry.rfind("KYRSIM_CONTROL=", 0) != 0 && szEntry.rfind(szSaved, 0) != 0)
            environment.push_back(szEntry);
    }
    if (szOriginalPreload != nullptr && *szOriginalPreload != '\0')
        environment.push_back(std::string("LD_PRELOAD=") + szOriginalPreload);
    // LD_PRELOAD puts umockdev's library ahead of the ASan runtime, which
    // ASan refuses unless told to skip that check.
    if (szAsan.find("verify_asan_link_order=0") == std::string::npos)
        szAsan += "verify_asan_link_order=0";
    else
        szAsan.pop_back();
    environment.push_back(szAsan);
    environment.push_back("KYRSIM_CONTROL=" + setup.szControlPath);
    return environment;
}

// Only async-signal-safe calls from here on: the parent already runs threads.
bool DropPermissionOverride()
{
    for (int nCap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        if (prctl(PR_CAPBSET_DROP, nCap, 0, 0, 0) != 0)
            return false;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int nCap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        const unsigned int nMask = ~(1u << (nCap % 32));
        data[nCap / 32].effective &= nMask;
        data[nCap / 32].permitted &= nMask;
        data[nCap / 32].inheritable &= nMask;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

pid_t StartChild(const ChildSetup& setup)
{
    gchar* szWrapper = g_find_program_in_path("umockdev-wrapper");
    if (szWrapper == nullptr)
        throw std::runtime_error("umockdev-wrapper is not in PATH");
    std::vector<std::string> arguments = {szWrapper};
    g_free(szWrapper);
    arguments.insert(arguments.end(), setup.command.begin(), setup.command.end());
    const std::vector<std::string> environment = ChildEnvironment(setup);
    std::vector<char*> argv;
    for (const auto& szArg : arguments)
        argv.push_back(const_cast<char*>(szArg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& szEntry : environment)
        envp.push_back(const_cast<char*>(szEntry.c_str()));
    envp.push_back(nullptr);
    const bool bDrop = setup.bDropPermissionOverride && geteuid() == 0;
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() != parent)
            _exit(125);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (bDrop && !DropPermissionOverride()) {
            static const char szMessage[] = "kyrsim: cannot drop CAP_DAC_OVERRIDE for deny\n";
            (void)!write(STDERR_FILENO, szMessage, sizeof szMessage - 1);
            _exit(125);
        }
        execve(argv[0], argv.data(), envp.data());
        static const char szMessage[] = "kyrsim: cannot run umockdev-wrapper\n";
        (void)!write(STDERR_FILENO, szMessage, sizeof szMessage - 1);
        _exit(127);
    }
    return pid;
}

int ShellStatus(int nWaitStatus)
{
    if (WIFEXITED(nWaitStatus))
        return WEXITSTATUS(nWaitStatus);
    if (WIFSIGNALED(nWaitStatus))
        return 128 + WTERMSIG(nWaitStatus);
    return 125;
}

}  // namespace kyrsim

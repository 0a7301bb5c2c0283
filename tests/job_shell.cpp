// A stand-in for a job-control shell, started by the harness's job_spawn on a console that
// becomes its controlling terminal:
//     test-job-shell MODE PIDFILE PROGRAM [ARG...]
// It leads the console's session and runs PROGRAM in a process group of its own, with the
// shell's standard streams. MODE holds 'f' to give the program the console's foreground and
// 't' to take the console back when the program stops, as bash does at Ctrl-Z ("-": neither).
// The program's process id goes into PIDFILE once it runs in its group. The shell ends with the
// program's status, 128 + signal when a signal ended it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 4)
        return 124;
    bool foreground = strchr(argv[1], 'f') != nullptr, takes_back = strchr(argv[1], 't') != nullptr;
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    signal(SIGTTOU, SIG_IGN);   // the shell itself may set the foreground from the background
    pid_t program = fork();
    if (program == 0) {
        setpgid(0, 0);
        if (foreground)
            tcsetpgrp(tty, getpid());
        // A shell starts its jobs with default dispositions, whatever it was started with.
        for (int sig : { SIGTTOU, SIGPIPE, SIGTSTP, SIGTTIN, SIGINT, SIGQUIT, SIGHUP })
            signal(sig, SIG_DFL);
        execv(argv[3], argv + 3);
        _exit(127);
    }
    setpgid(program, program);
    // The streams are the program's alone: its pipes end when it does.
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; fd++)
        dup2(null, fd);
    FILE *report = fopen(argv[2], "w");
    if (report == nullptr || fprintf(report, "%d\n", (int)program) < 0 || fclose(report) != 0)
        return 126;
    for (;;) {
        int st;
        if (waitpid(program, &st, takes_back ? WUNTRACED : 0) != program)
            return 125;
        if (WIFSTOPPED(st))
            tcsetpgrp(tty, getpgrp());
        if (WIFEXITED(st))
            return WEXITSTATUS(st);
        if (WIFSIGNALED(st))
            return 128 + WTERMSIG(st);
    }
}

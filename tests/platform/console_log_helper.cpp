// Writes one program log line, "<message>", to the log file given: run by the console log test
// with its standard error on a terminal, the journal's stream or a plain file.
#include "common/local_date_time.h"
#include "platform/log_file.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    kestrun::logProgramEvent(argv[1], kestrun::LocalDateTime::fromFields(2026, 12, 9, 7, 30, 5),
                             argv[2]);
    return 0;
}

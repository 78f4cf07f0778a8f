#include "zorvane/BuildInfo.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream(stdout) << "Zorvane " << zorvane::build_info::shortVersion << " ("
                        << zorvane::build_info::buildNumber
                        << "): the application windows are not built yet\n";
    return 0;
}

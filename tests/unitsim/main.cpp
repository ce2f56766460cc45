// Runs every unitsim test class in one executable.

#include <QCoreApplication>

int runStreamFramerTest(int argc, char** argv);
int runFlashImageTest(int argc, char** argv);
int runSimulatedUnitTest(int argc, char** argv);
int runProgramTest(int argc, char** argv);
int runFloodTest(int argc, char** argv);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    for (auto run : {runStreamFramerTest, runFlashImageTest, runSimulatedUnitTest, runFloodTest, runProgramTest})
        failures += run(argc, argv) != 0;
    return failures;
}

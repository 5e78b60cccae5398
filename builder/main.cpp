// Start-up. The front ends arrive with their own sources; until then the program only
// names itself.
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("skarnbolt-builder");
  QTextStream(stdout) << "Skarnbolt Builder\n";
  return 0;
}

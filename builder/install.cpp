// Windows games out of a build folder: installed for the user, exported, or saved portable.
#include "builder/install.hpp"

#include "builder/job.hpp"

namespace builder {

bool Job::finish(QString& message, QString& result_path, QString& error) {
  (void)message;
  (void)result_path;
  error = "Not there yet.";
  return false;
}

QString install(const BuiltGame&, QString& error) {
  error = "Not there yet.";
  return {};
}

bool export_folder(const BuiltGame&, const QString&, QString& error) {
  error = "Not there yet.";
  return false;
}

QString export_portable(const BuiltGame&, const QString&, QString& error) {
  error = "Not there yet.";
  return {};
}

}  // namespace builder

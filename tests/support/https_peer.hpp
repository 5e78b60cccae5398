// The loopback HTTPS server of the download tests (https_server.py beside this file), with a
// throwaway certificate that only this test process trusts.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>

#include "builder/paths.hpp"
#include "support/test_support.hpp"

namespace testing_support {

class HttpsPeer {
 public:
  // Makes the certificate in `dir`, serves `dir`/root and trusts the certificate.
  explicit HttpsPeer(const QString& dir) : dir_(dir) {
    QDir().mkpath(root());
    QProcess openssl;
    openssl.setStandardOutputFile(QProcess::nullDevice());
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem", "-days", "2",
                   "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) return;
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start("python3", {script(), dir + "/cert.pem", dir + "/key.pem", root(), log()});
    if (!server_.waitForStarted(10000)) return;
    // Python with its TLS modules can take a while to start on a busy machine, as when the
    // whole suite runs in parallel: wait for the port line up to a minute in all.
    const QDeadlineTimer deadline(60000);
    while (!server_.canReadLine() && server_.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    const QStringList ports = QString::fromLatin1(server_.readLine()).trimmed().split(' ');
    if (ports.size() != 2) return;
    https_ = "https://127.0.0.1:" + ports[0] + "/";
    http_ = "http://127.0.0.1:" + ports[1] + "/";
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.addCaCertificates(dir + "/cert.pem");
    QSslConfiguration::setDefaultConfiguration(conf);
  }

  ~HttpsPeer() {
    server_.closeWriteChannel();
    if (!server_.waitForFinished(3000)) server_.kill();
    server_.waitForFinished(3000);
  }

  HttpsPeer(const HttpsPeer&) = delete;
  HttpsPeer& operator=(const HttpsPeer&) = delete;

  bool ok() const { return !https_.isEmpty(); }
  // The HTTPS address of `path` below the server's root.
  QString url(const QString& path) const { return https_ + path; }
  // The same over plain HTTP.
  QString plain_url(const QString& path) const { return http_ + path; }
  // The folder whose files are served.
  QString root() const { return dir_ + "/root"; }
  // The certificate the server presents.
  QString certificate() const { return dir_ + "/cert.pem"; }

  // Every request so far, as "https /path?query agent" or "http /path?query agent".
  QStringList requests() const {
    QFile file(log());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }
  void clear_requests() const { QFile::remove(log()); }

 private:
  static QString script() { return QFileInfo(__FILE__).absolutePath() + "/https_server.py"; }
  QString log() const { return dir_ + "/requests.log"; }

  QString dir_;
  QString https_;
  QString http_;
  QProcess server_;
};

// A test process's world around one HttpsPeer: a Qt application named `program`, a temporary
// folder with the data root in data/ and the peer's files in server/. Registered with
// AddGlobalTestEnvironment, it stands from before the first test to after the last.
class HttpsWorld : public ::testing::Environment {
 public:
  explicit HttpsWorld(const char* program) : program_(program) {}

  void SetUp() override {
    argv_[0] = program_.data();
    app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    temp_ = std::make_unique<TempDir>();
    builder::set_data_root(base() + "/data");
    peer_ = std::make_unique<HttpsPeer>(base() + "/server");
  }
  void TearDown() override {
    peer_.reset();
    temp_.reset();
    app_.reset();
  }

  HttpsPeer& peer() { return *peer_; }
  // The temporary folder.
  QString base() const { return QString::fromStdString(temp_->path().string()); }

 private:
  std::string program_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<QCoreApplication> app_;
  std::unique_ptr<TempDir> temp_;
  std::unique_ptr<HttpsPeer> peer_;
};

// The whole file, or nothing when it cannot be read.
inline QByteArray read_file(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `size` bytes that gzip cannot shrink, the same for the same seed.
inline QByteArray noise(int size, quint32 seed) {
  QByteArray bytes(size, Qt::Uninitialized);
  quint32 state = 2463534242u + seed;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = char(state);
  }
  return bytes;
}

}  // namespace testing_support

#include "builder/tar_listing.hpp"

#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <string>

#include "apk/member_name.hpp"

namespace builder {

namespace {

// The lines of a listing; when every line ends in "\r\n" (a Windows console) the "\r" goes.
QList<QByteArray> lines_of(const QByteArray& text) {
  QList<QByteArray> lines = text.split('\n');
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  const bool crlf =
      !lines.isEmpty() &&
      std::all_of(lines.begin(), lines.end(), [](const QByteArray& l) { return l.endsWith('\r'); });
  if (crlf)
    for (QByteArray& line : lines) line.chop(1);
  return lines;
}

// The pieces of a path, either separator, without empty and "." pieces.
QStringList split(const QByteArray& path) {
  QStringList pieces = QString::fromUtf8(path).replace('\\', '/').split('/');
  pieces.removeAll(QString());
  pieces.removeAll(".");
  return pieces;
}

// No real package nests deeper; the bound keeps the look at a hostile listing linear.
const qsizetype kDeepest = 256;

// The pieces of a member name as a case-insensitive file system takes them; no value when the
// name could lead out of the folder or would not be written as named. A ".." could climb back
// through a link, so none is taken.
std::optional<QStringList> member_path(const QByteArray& name) {
  const std::optional<std::string> clean = apk::safe_member_name(name.toStdString());
  if (!clean || split(name).contains("..")) return std::nullopt;
  QStringList pieces = QString::fromStdString(*clean).split('/', Qt::SkipEmptyParts);
  if (pieces.size() > kDeepest) return std::nullopt;
  for (QString& piece : pieces) piece = piece.toCaseFolded();
  return pieces;
}

// One name for every spelling of the member's first `count` pieces.
QString key(const QStringList& pieces, qsizetype count) { return pieces.mid(0, count).join('/'); }

bool below_link(const QStringList& path, const QSet<QString>& links) {
  QString prefix;
  for (qsizetype i = 0; i + 1 < path.size(); ++i) {
    prefix += (i ? "/" : "") + path[i];
    if (links.contains(prefix)) return true;
  }
  return false;
}

// A symbolic link's target may climb out of the link's own folders, which hold no link
// themselves, and then only go down: a ".." after a named piece could undo a link and
// lead out. Its pieces follow the rule of member names.
bool link_stays_inside(const QStringList& path, const QByteArray& target) {
  if (target.isEmpty() || target.startsWith('/') || target.startsWith('\\')) return false;
  // The link's folders stand in front, so the rule sees how far the target climbs.
  QByteArray from_the_top;
  for (qsizetype i = 0; i + 1 < path.size(); ++i) from_the_top += "d/";
  if (!apk::safe_member_name((from_the_top + target).toStdString())) return false;
  bool down = false;
  for (const QString& piece : split(target)) {
    if (piece != "..")
      down = true;
    else if (down)
      return false;
  }
  return true;
}

// The text after the member's name and `separator` in its listing line. A crafted owner or
// target could repeat them; a line that can be read more than one way has no value.
std::optional<QByteArray> link_target(const QByteArray& line, const QByteArray& name,
                                      const QByteArray& separator) {
  const QByteArray needle = " " + name + separator;
  const qsizetype at = line.indexOf(needle);
  if (at < 0 || line.indexOf(needle, at + 1) >= 0) return std::nullopt;
  return line.mid(at + needle.size());
}

struct Member {
  QStringList path;
  char type = 0;
  QByteArray target;  // of a link
};

}  // namespace

bool tar_listing_safe(const QByteArray& names, const QByteArray& verbose, QSet<QString>& links) {
  const QList<QByteArray> name_lines = lines_of(names);
  const QList<QByteArray> lines = lines_of(verbose);
  if (name_lines.size() != lines.size()) return false;
  QList<Member> members;
  for (qsizetype i = 0; i < name_lines.size(); ++i) {
    const QByteArray& name = name_lines[i];
    const QByteArray line = lines.value(i);
    const std::optional<QStringList> path = member_path(name);
    if (!path || line.isEmpty()) return false;
    // The mode's first letter: a file, a folder, a symbolic or a hard link; nothing else
    // (devices, pipes) belongs in a package.
    Member member{*path, line[0], {}};
    if (member.type == '-' || member.type == 'd') {
      if (!line.endsWith(" " + name)) return false;
    } else if (member.type == 'l' || member.type == 'h') {
      const std::optional<QByteArray> target =
          link_target(line, name, member.type == 'l' ? " -> " : " link to ");
      if (!target) return false;
      member.target = *target;
      if (member.type == 'l') links.insert(key(member.path, member.path.size()));
    } else {
      return false;
    }
    members << member;
  }
  for (const Member& member : members) {
    if (below_link(member.path, links)) return false;
    if (member.type == 'l' && !link_stays_inside(member.path, member.target)) return false;
    if (member.type == 'h') {
      // A hard link names another member, which must be no symbolic link either.
      const std::optional<QStringList> other = member_path(member.target);
      if (!other || below_link(*other, links) || links.contains(key(*other, other->size())))
        return false;
    }
  }
  return true;
}

}  // namespace builder

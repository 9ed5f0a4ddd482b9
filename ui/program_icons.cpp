#include "ui/program_icons.h"

#include <QFileInfo>
#include <QMetaObject>

#include "capture/program_table.h"
#include "ui/desktop_icons.h"

namespace trovix {
namespace {

QIcon LoadIcon(const QString& icon) {
  if (icon.startsWith(QLatin1Char('/'))) return QFileInfo(icon).isFile() ? QIcon(icon) : QIcon();
  QIcon themed = QIcon::fromTheme(icon);
  if (!themed.isNull()) return themed;
  // Entries of programs that install no theme icon name a picture in the pixmaps folder.
  for (const char* suffix : {".png", ".svg", ".xpm"}) {
    QString path = QStringLiteral("/usr/share/pixmaps/") + icon + QLatin1String(suffix);
    if (QFileInfo(path).isFile()) return QIcon(path);
  }
  return {};
}

}  // namespace

ProgramIcons::ProgramIcons(QObject* parent) : QObject(parent) {}

ProgramIcons::~ProgramIcons() {
  if (reading_.valid()) reading_.wait();
}

QIcon ProgramIcons::IconOf(uint32_t programId) {
  const Program* program = TheProgramTable().ProgramOf(programId);
  if (program == nullptr || program->pid == 0) return {};  // a user alone has no program to show
  if (!read_) {
    if (!reading_.valid()) {
      // The destructor waits for the reading, so this object outlives the thread.
      reading_ = std::async(std::launch::async, [this] {
        auto icons = ReadDesktopIcons(DesktopDataFolders());
        QMetaObject::invokeMethod(this, [this] { emit ready(); }, Qt::QueuedConnection);
        return icons;
      });
      return {};
    }
    if (reading_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return {};
    names_ = reading_.get();
    read_ = true;
  }
  auto [it, made] = icons_.try_emplace(programId);
  if (made) {
    std::string_view icon = DesktopIconOf(names_, program->name);
    if (!icon.empty()) it->second = LoadIcon(QString::fromUtf8(icon.data(), static_cast<qsizetype>(icon.size())));
  }
  return it->second;
}

}  // namespace trovix

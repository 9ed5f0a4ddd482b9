// The icons of the programs the list names, from their desktop entries. The entries are
// read once, on a thread of their own, when the first icon is asked for; until then, and
// for a program without an entry, there is no icon.
#pragma once

#include <QIcon>
#include <QObject>

#include <future>
#include <string>
#include <unordered_map>

namespace trovix {

class ProgramIcons : public QObject {
  Q_OBJECT

 public:
  explicit ProgramIcons(QObject* parent = nullptr);
  ~ProgramIcons() override;
  // The icon of the program with this id in the program table; null when none (yet).
  QIcon IconOf(uint32_t programId);

 signals:
  // The entries have been read: icons asked for before may be there now.
  void ready();

 private:
  std::future<std::unordered_map<std::string, std::string>> reading_;
  std::unordered_map<std::string, std::string> names_;  // executable -> icon, once read
  bool read_ = false;
  std::unordered_map<uint32_t, QIcon> icons_;
};

}  // namespace trovix

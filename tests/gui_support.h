// A main window over fakes of the system, for the window tests.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <optional>

#include "capture/os_line.h"
#include "settings/config_folder.h"
#include "tests/platform_fakes.h"
#include "ui/main_dialog.h"

namespace trovix::test {

class RecordingMessageBoxes : public MessageBoxes {
 public:
  void Show(QWidget*, const QString& title, const QString& text) override { shown.push_back(title + ": " + text); }
  QStringList shown;
};

// The folder is what the test hands in; none by default, so no test reads or writes the
// settings of the user who runs it.
class FixedConfigFolder : public ConfigFolderSource {
 public:
  std::optional<std::string> Query() override { return folder; }
  std::optional<std::string> folder;
};

// Answers the save prompt with `answer` (nothing: the user cancels) and counts the asks.
class ScriptedSavePrompt : public SavePrompt {
 public:
  std::optional<SaveTarget> Ask(QWidget*, const QString& firstFolder) override {
    asked.push_back(firstFolder);
    return answer;
  }
  std::optional<SaveTarget> answer;
  QStringList asked;
};

// A main window whose menu is not shown: the test says which command it chooses.
class TestDialog : public MainDialog {
 public:
  using MainDialog::MainDialog;
  int menuChoice = 0;
  std::optional<QPoint> menuShownAt;

 protected:
  int RunMenu(QMenu&, QPoint at) override {
    menuShownAt = at;
    return menuChoice;
  }
};

struct Fakes {
  FakeHostInfo host;
  FakePrivilegeCheck privilege{1, true};
  VersionRecordSource version{VersionRecord{kPlatformWin32Nt, 6, 0, 6000, ""}};
  RecordingMessageBoxes messages;
  FixedConfigFolder configFolder;
  ScriptedSavePrompt savePrompt;
  Services services() { return {&host, &privilege, &version, &messages, &configFolder, &savePrompt}; }
};

inline QPushButton* Button(MainDialog& d, int id) { return static_cast<QPushButton*>(d.Control(id)); }
inline QComboBox* Combo(MainDialog& d, int id) { return static_cast<QComboBox*>(d.Control(id)); }

inline QStringList Rows(MainDialog& d) {
  QStringList rows;
  for (int r = 0; r < d.packetList().rowCount(); ++r) rows << d.packetList().RowText(r);
  return rows;
}

inline QStringList Items(QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

}  // namespace trovix::test

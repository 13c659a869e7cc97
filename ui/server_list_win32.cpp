#include "ui/server_list.h"

#include <commctrl.h>

#include <initializer_list>

#include "core/query_engine.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "ui/main_window.h"
#include "ui/server_rows.h"
#include "ui/texts.h"

namespace {

// The server whose name is being edited. The row the list reports at the
// end of the edit is its row when the edit began: the rows may have moved.
int gEditedSlot = -1;

int FindRow(int slot) {
  LVFINDINFOA find = {};
  find.flags = LVFI_PARAM;
  find.lParam = slot;
  return static_cast<int>(
      SendMessageA(gServerList, LVM_FINDITEMA, -1, reinterpret_cast<LPARAM>(&find)));
}

int SlotOfRow(int row) {
  LVITEMA item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  SendMessageA(gServerList, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  return static_cast<int>(item.lParam);
}

int NextSelectedRow(int after) {
  return static_cast<int>(SendMessageA(gServerList, LVM_GETNEXTITEM, after, LVNI_SELECTED));
}

int SelectedCount() {
  return static_cast<int>(SendMessageA(gServerList, LVM_GETSELECTEDCOUNT, 0, 0));
}

// The slots of the selected rows from the top of the list down, taken before
// anything acts on them: ending a pass re-sorts the rows.
int SelectedSlots(int* slots) {
  int count = 0;
  for (int row = NextSelectedRow(-1); row >= 0 && count < kMaxServers;
       row = NextSelectedRow(row))
    slots[count++] = SlotOfRow(row);
  return count;
}

void SetCell(int row, int column, const char* text) {
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text);
  SendMessageA(gServerList, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
}

int CompareNames(const char* a, const char* b) { return lstrcmpA(a, b); }

int CALLBACK CompareRowsCallback(LPARAM a, LPARAM b, LPARAM) {
  return CompareRows(static_cast<int>(a), static_cast<int>(b), CompareNames);
}

void DisableItem(HMENU menu, UINT id) {
  MENUITEMINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STATE;
  info.fState = MFS_DISABLED | MFS_GRAYED;
  SetMenuItemInfoA(menu, id, FALSE, &info);
}

void RenameServer(const NMLVDISPINFOA* edit) {
  // No text: the edit was cancelled. The rows a pass left unsorted
  // meanwhile are sorted either way.
  if ((edit->item.mask & LVIF_TEXT) && edit->item.pszText != nullptr && gEditedSlot >= 0)
    RenameSlot(gEditedSlot, edit->item.pszText);
  gEditedSlot = -1;
  SortRows();
}

}  // namespace

void SyncRows(bool textsOnly) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    gQuerySlots[slot].dirty = 0;
    if (textsOnly && !IsNamed(slot)) continue;
    int row = FindRow(slot);
    if (!IsNamed(slot)) {
      if (row >= 0) SendMessageA(gServerList, LVM_DELETEITEM, row, 0);
      continue;
    }
    if (!textsOnly) {
      if (row < 0) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = static_cast<int>(SendMessageA(gServerList, LVM_GETITEMCOUNT, 0, 0));
        item.lParam = slot;
        SendMessageA(gServerList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        row = FindRow(slot);
      }
      LVITEMA item = {};
      item.mask = LVIF_TEXT | LVIF_IMAGE;
      item.iItem = row;
      item.pszText = gServerTable[slot].name;
      item.iImage = gServerTable[slot].enabled ? 0 : 1;
      SendMessageA(gServerList, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    char latency[kTextBufferSize];
    char correction[kTextBufferSize];
    RowTexts(slot, latency, correction);
    SetCell(row, 1, latency);
    SetCell(row, 2, correction);
  }
}

void RefreshDirtyRows() {
  bool dirty = false;
  for (const QuerySlot& slot : gQuerySlots) dirty = dirty || slot.dirty;
  if (!dirty) return;
  SyncRows(true);
  // Names do not change during a pass, so an order by name still holds. A
  // row whose name is being edited stays where it is: the list would end
  // the edit, or take the typed name for the row that moved into its place.
  if (gSortColumn != 0 && SendMessageA(gServerList, LVM_GETEDITCONTROL, 0, 0) == 0) SortRows();
}

void SortRows() {
  SendMessageA(gServerList, LVM_SORTITEMS, 0, reinterpret_cast<LPARAM>(CompareRowsCallback));
}

void ShowServerMenu(bool atCursor) {
  HMENU resource = LoadMenuA(gAppInstance, MAKEINTRESOURCEA(IDR_SERVER_MENU));
  HMENU menu = GetSubMenu(resource, 0);
  POINT at = {0, 0};
  if (atCursor)
    GetCursorPos(&at);
  else
    ClientToScreen(gServerList, &at);
  bool full = true;
  for (int slot = 0; slot < kMaxServers; ++slot) full = full && IsNamed(slot);
  if (full) DisableItem(menu, CMD_ADD_SERVER);
  if (SelectedCount() == 0) {
    for (UINT id : {CMD_DELETE_SERVER, CMD_TOGGLE_SERVER, CMD_EDIT_SERVER, CMD_TEST_SERVER})
      DisableItem(menu, id);
  }
  TrackPopupMenu(menu, 0, at.x, at.y, 0, gMainWindow, nullptr);
  // Without a message after the menu, it may not close when the user clicks
  // elsewhere.
  PostMessageA(gMainWindow, WM_NULL, 0, 0);
  DestroyMenu(resource);
}

void DeleteSelectedServers() {
  int count = SelectedCount();
  if (count == 0) return;
  char question[kTextBufferSize];
  wsprintfA(question, "Are you sure you want to delete %d server(s)?", count);
  if (MessageBoxA(gMainWindow, question, "Warning!", MB_OKCANCEL | MB_ICONWARNING) == IDOK) {
    // By slot: a deletion can end the pass, whose question lets a quit in,
    // and a list that is gone has no rows to look up.
    int slots[kMaxServers];
    const int taken = SelectedSlots(slots);
    for (int i = 0; i < taken; ++i) DeleteSlot(slots[i]);
  }
  SortRows();
}

void ToggleSelectedServers() {
  int slots[kMaxServers];
  int count = SelectedSlots(slots);
  for (int i = 0; i < count; ++i) ToggleSlot(slots[i]);
  SortRows();
}

void TestSelectedServers() {
  int slots[kMaxServers];
  int count = SelectedSlots(slots);
  StartTestingPass(slots, count);
}

bool TakeServerListEnter(const MSG& message) {
  if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN || message.hwnd != gServerList) return false;
  // Not passed on: the character made of it would close the menu at once.
  ShowServerMenu(false);
  return true;
}

BOOL OnServerListNotify(const NMHDR* header) {
  switch (header->code) {
    case LVN_COLUMNCLICK:
      ClickColumn(reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem);
      // While a name is edited the rows stay put: its editor stays on its row.
      // The end of the edit sorts them.
      if (SendMessageA(gServerList, LVM_GETEDITCONTROL, 0, 0) == 0) SortRows();
      return TRUE;
    case LVN_BEGINLABELEDITA: {
      gEditedSlot = SlotOfRow(reinterpret_cast<const NMLVDISPINFOA*>(header)->item.iItem);
      // No more can be typed than a name keeps. FALSE lets the edit begin.
      const LRESULT editor = SendMessageA(gServerList, LVM_GETEDITCONTROL, 0, 0);
      SendMessageA(reinterpret_cast<HWND>(editor), EM_LIMITTEXT, kServerNameSize - 1, 0);
      return FALSE;
    }
    case LVN_ENDLABELEDITA:
      // The answer to the list stays 0, refusing its own copy of the text: the
      // row shows the table's name (trimmed, or another Orvalen's), and after a
      // sort or a deletion the edit's old row number may be another server's.
      RenameServer(reinterpret_cast<const NMLVDISPINFOA*>(header));
      return TRUE;
    case LVN_KEYDOWN:
      switch (reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey) {
        case VK_APPS:
          ShowServerMenu(false);
          return TRUE;
        case VK_DELETE:
          DeleteSelectedServers();
          return TRUE;
      }
      return FALSE;
    case NM_RCLICK:
      ShowServerMenu(true);
      return TRUE;
  }
  return FALSE;
}

#include "ui/history_window.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>

#include "core/pass_history.h"
#include "resources/resource.h"
#include "ui/history_view.h"
#include "ui/main_window.h"
#include "ui/texts.h"

namespace {

constexpr char kTitle[] = "Orvalen - History";
constexpr char kExportTitle[] = "Export History";
constexpr int kSpanChoice = 101;
constexpr int kExportButton = 102;
constexpr int kPassList = 103;
// Sizes in pixels at 96 dots per inch, scaled to the screen's.
constexpr int kDesignDpi = 96;
constexpr int kFontPoints = 8;
constexpr int kWindowWidth = 900, kWindowHeight = 640;
constexpr int kGap = 8;
constexpr int kControlHeight = 24;
constexpr int kChoiceWidth = 140, kChoiceDropHeight = 200, kButtonWidth = 90;
constexpr int kPlotShare = 55;  // per cent of the height below the controls
constexpr int kMarkerRadius = 4;
constexpr int kFailureMarkSize = 5;
constexpr int kColumnWidths[kHistoryColumns] = {150, 80, 90, 130, 80, 700};
constexpr char kWidestTimeLabel[] = "12:00:00pm";
constexpr char kExportFilter[] = "Comma-separated values (*.csv)\0*.csv\0All files (*.*)\0*.*\0";

HWND gHistoryWindow;
HWND gHistoryFocus;  // the control that had the focus when the window was last left
HistorySpan gSpan = kDefaultSpan;
int gDpi = kDesignDpi;
HFONT gUiFont;
RECT gPlotArea;

// The file as read, and its entries' lines and end times, oldest first.
char* gHistoryText;
size_t gHistorySize;
size_t gEntryStarts[kHistoryMost];
Ms1900 gEntryEnded[kHistoryMost];
int gEntryCount;
int gShown[kHistoryMost];  // indices of the entries in the span, newest first
int gShownCount;
Ms1900 gShownAt;  // the now the span ran back from

// What the plot draws of the shown entries, oldest first, at the times
// the local clock showed when they ended.
struct Mark {
  Ms1900 ended;
  CorrectionOutcome outcome;
  OffsetMs correction;
};
struct Sample {
  Ms1900 ended;
  OffsetMs offset;
};
Mark gMarks[kHistoryMost];
int gMarkCount;
char gPlottedNames[kMostPlottedServers][kServerNameSize];
int gPlottedCount;
Sample gSamples[kMostPlottedServers][kHistoryMost];
int gSampleCount[kMostPlottedServers];
Ms1900 gFirstEnded, gLastEnded;
OffsetMs gLeastOffset, gMostOffset;

// gScratch space, too large for the stack.
PassEntry gScratch;
ServerTally gTally;

int Scale(int pixels) { return MulDiv(pixels, gDpi, kDesignDpi); }
COLORREF Color(uint32_t bgr) { return static_cast<COLORREF>(bgr); }

bool EntryAt(int index, PassEntry* entry) {
  const size_t start = gEntryStarts[index];
  return ParseEntry(gHistoryText + start, LineLength(gHistoryText, gHistorySize, start), entry);
}

// What the plot draws, gathered when the shown entries change; the servers
// measured most often get a line each.
void GatherPlot() {
  gTally.count = 0;
  for (int i = 0; i < gShownCount; ++i)
    if (EntryAt(gShown[i], &gScratch)) TallyServers(gScratch, &gTally);
  int busiest[kMostPlottedServers];
  gPlottedCount = BusiestServers(gTally, busiest);
  for (int k = 0; k < gPlottedCount; ++k) {
    std::memcpy(gPlottedNames[k], gTally.servers[busiest[k]].name, kServerNameSize);
    gSampleCount[k] = 0;
  }
  gMarkCount = 0;
  gLeastOffset = gMostOffset = 0;
  gFirstEnded = gLastEnded = gShownCount ? LocalTimeOf(gEntryEnded[gShown[0]]) : 0;
  for (int i = gShownCount - 1; i >= 0; --i) {
    if (!EntryAt(gShown[i], &gScratch)) continue;
    const PassEntry& e = gScratch;
    const Ms1900 ended = LocalTimeOf(e.ended);
    gFirstEnded = std::min(gFirstEnded, ended);
    gLastEnded = std::max(gLastEnded, ended);
    if (e.kind == Correcting) gMarks[gMarkCount++] = {ended, e.outcome, e.correction};
    if (HasCorrection(e.outcome))
      gLeastOffset = std::min(gLeastOffset, e.correction), gMostOffset = std::max(gMostOffset, e.correction);
    for (int s = 0; s < e.serverCount; ++s) {
      if (!Measured(e.servers[s].status)) continue;
      for (int k = 0; k < gPlottedCount; ++k) {
        // A list may name a server twice: the points stop where the array ends.
        if (std::strcmp(gPlottedNames[k], e.servers[s].name) != 0 || gSampleCount[k] == kHistoryMost) continue;
        gSamples[k][gSampleCount[k]++] = {ended, e.servers[s].offset};
        // One set aside, however far off, is drawn at the plot's edge: a
        // server that is always wrong would squash every other line flat.
        if (e.servers[s].status == StatusRejected) continue;
        gLeastOffset = std::min(gLeastOffset, e.servers[s].offset);
        gMostOffset = std::max(gMostOffset, e.servers[s].offset);
      }
    }
  }
}

// When the selected pass ended; 0 when none is selected.
Ms1900 SelectedPass() {
  const LRESULT row = SendMessageA(GetDlgItem(gHistoryWindow, kPassList), LVM_GETNEXTITEM, -1, LVNI_SELECTED);
  return row >= 0 && row < gShownCount ? gEntryEnded[gShown[row]] : 0;
}

// The list keeps its selection by row, and a new pass comes in at the top:
// the pass that was selected is selected again where it now is.
void Reselect(Ms1900 selected) {
  gShownAt = CurrentMs1900();
  gShownCount = EntriesInSpan(gEntryEnded, gEntryCount, gSpan, gShownAt, gShown);
  GatherPlot();
  HWND list = GetDlgItem(gHistoryWindow, kPassList);
  SendMessageA(list, LVM_SETITEMCOUNT, gShownCount, LVSICF_NOSCROLL);
  LVITEMA item = {};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
  item.state = item.stateMask;
  for (int row = 0; selected != 0 && row < gShownCount; ++row)
    if (gEntryEnded[gShown[row]] == selected) {
      SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
      break;
    }
  InvalidateRect(list, nullptr, FALSE);
  InvalidateRect(gHistoryWindow, &gPlotArea, FALSE);
}

void Reload() {
  const Ms1900 selected = SelectedPass();
  FreeHistoryText(gHistoryText);
  gHistoryText = nullptr;
  gEntryCount = 0;
  if (ReadHistoryText(&gHistoryText, &gHistorySize)) {
    gEntryCount = std::min(FindEntries(gHistoryText, gHistorySize, gEntryStarts, kHistoryMost), kHistoryMost);
    for (int i = 0; i < gEntryCount; ++i) gEntryEnded[i] = EntryAt(i, &gScratch) ? gScratch.ended : 0;
  }
  Reselect(selected);
}

void Layout() {
  RECT client;
  GetClientRect(gHistoryWindow, &client);
  const int gap = Scale(kGap), height = Scale(kControlHeight);
  MoveWindow(GetDlgItem(gHistoryWindow, kSpanChoice), gap, gap, Scale(kChoiceWidth),
             Scale(kChoiceDropHeight), TRUE);
  MoveWindow(GetDlgItem(gHistoryWindow, kExportButton), 2 * gap + Scale(kChoiceWidth), gap,
             Scale(kButtonWidth), height, TRUE);
  const int top = 2 * gap + height;
  const int plotBottom = top + std::max(0, static_cast<int>(client.bottom) - top) * kPlotShare / 100;
  gPlotArea = {gap, top, std::max(gap, static_cast<int>(client.right) - gap), plotBottom};
  MoveWindow(GetDlgItem(gHistoryWindow, kPassList), gap, plotBottom + gap,
             std::max(0, static_cast<int>(client.right) - 2 * gap),
             std::max(0, static_cast<int>(client.bottom) - plotBottom - 2 * gap), TRUE);
}

int TextWidth(HDC dc, const char* text) {
  SIZE size = {};
  GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
  return size.cx;
}

void Text(HDC dc, const char* text, RECT box, UINT format) {
  DrawTextA(dc, text, -1, &box, format | DT_SINGLELINE | DT_NOPREFIX);
}

// A correction's marker (a disc) or a failure's (a triangle standing on the
// time axis), in the colour of what became of the pass.
void Marker(HDC dc, CorrectionOutcome outcome, int x, int y) {
  HBRUSH brush = CreateSolidBrush(Color(kResultColors[outcome]));
  HGDIOBJ oldBrush = SelectObject(dc, brush);
  HGDIOBJ oldPen = SelectObject(dc, GetStockObject(HasCorrection(outcome) ? BLACK_PEN : NULL_PEN));
  if (HasCorrection(outcome)) {
    const int r = Scale(kMarkerRadius);
    Ellipse(dc, x - r, y - r, x + r + 1, y + r + 1);
  } else {
    const int s = Scale(kFailureMarkSize);
    const POINT corners[] = {{x, y - 2 * s}, {x - s, y}, {x + s, y}};
    Polygon(dc, corners, 3);
  }
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  DeleteObject(brush);
}

void Line(HDC dc, COLORREF color, int width, const POINT* points, int count) {
  HPEN pen = CreatePen(PS_SOLID, width, color);
  HGDIOBJ old = SelectObject(dc, pen);
  Polyline(dc, points, count);
  SelectObject(dc, old);
  DeleteObject(pen);
}

// The plot, into a device context whose origin is the plot's corner.
void DrawPlot(HDC dc, int width, int height) {
  const RECT whole = {0, 0, width, height};
  FillRect(dc, &whole, GetSysColorBrush(COLOR_WINDOW));
  FrameRect(dc, &whole, GetSysColorBrush(COLOR_BTNSHADOW));
  SelectObject(dc, gUiFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  TEXTMETRICA metrics;
  GetTextMetricsA(dc, &metrics);
  const int line = metrics.tmHeight, gap = Scale(kGap);
  if (gShownCount == 0) {
    Text(dc, "No passes in this span.", whole, DT_CENTER | DT_VCENTER);
    return;
  }

  // Times run over the span, or over the passes with a little room.
  const Ms1900 now = gShownAt;
  Ms1900 from = gFirstEnded - (gLastEnded - gFirstEnded) / 40, to = gLastEnded + (gLastEnded - gFirstEnded) / 40;
  if (gSpan != SpanEverything) from = LocalTimeOf(now - SpanMs(gSpan)), to = LocalTimeOf(now);
  int legendWidth = 0;
  for (int k = 0; k < gPlottedCount; ++k) legendWidth = std::max(legendWidth, TextWidth(dc, gPlottedNames[k]));
  legendWidth = gPlottedCount == 0 ? 0 : std::min(legendWidth + Scale(32), width / 4);
  const int top = 2 * line + gap, bottom = height - 3 * line - gap;
  const int right = width - 2 * gap - legendWidth;
  const PlotAxis offsets = OffsetAxis(gLeastOffset, gMostOffset, (bottom - top) / (2 * line));
  char label[kTextBufferSize];
  int labelWidth = 0;
  for (int64_t tick = FirstTick(offsets); tick <= offsets.high; tick += offsets.step) {
    OffsetLabel(tick, offsets, label);
    labelWidth = std::max(labelWidth, TextWidth(dc, label));
  }
  const int left = gap + labelWidth + Scale(6);
  if (right - left < line || bottom - top < line) return;
  const PlotAxis times = TimeAxis(from, to, (right - left) / (TextWidth(dc, kWidestTimeLabel) + gap));
  auto x = [&](Ms1900 local) { return PixelOf(local, times, left, right); };
  auto y = [&](int64_t offset) { return PixelOf(offset, offsets, bottom, top); };

  // Grid, labels and the axes' titles; the zero line stands out.
  const COLORREF gridColor = RGB(226, 226, 226), axisColor = RGB(96, 96, 96);
  for (int64_t tick = FirstTick(offsets); tick <= offsets.high; tick += offsets.step) {
    const POINT grid[] = {{left, y(tick)}, {right, y(tick)}};
    Line(dc, tick == 0 ? axisColor : gridColor, 1, grid, 2);
    OffsetLabel(tick, offsets, label);
    Text(dc, label, {0, y(tick) - line, left - Scale(4), y(tick) + line}, DT_RIGHT | DT_VCENTER);
  }
  const int timeLabelWidth = TextWidth(dc, kWidestTimeLabel);
  for (int64_t tick = FirstTick(times); tick <= times.high; tick += times.step) {
    const int at = PixelOf(tick, times, left, right);
    const POINT grid[] = {{at, top}, {at, bottom}};
    Line(dc, gridColor, 1, grid, 2);
    TimeLabel(tick, times, label);
    Text(dc, label, {at - timeLabelWidth, bottom + Scale(3), at + timeLabelWidth, bottom + Scale(3) + line},
         DT_CENTER);
  }
  const POINT axes[] = {{left, top}, {left, bottom}, {right, bottom}};
  Line(dc, axisColor, 1, axes, 3);
  char title[kTextBufferSize];
  wsprintfA(title, "Correction and offsets (%s)", OffsetUnit(offsets));
  Text(dc, title, {gap, gap / 2, width, gap / 2 + line}, DT_LEFT);
  Text(dc, "Local time", {left, bottom + line + Scale(6), right, bottom + 2 * line + Scale(6)}, DT_CENTER);

  // The key to the markers, beside the title.
  static const struct { CorrectionOutcome outcome; const char* text; } kKey[] = {
      {OutcomeStepped, "stepped"}, {OutcomeGuardRefused, "too large"}, {OutcomeDeclined, "declined"},
      {OutcomePlatformRefused, "refused by Windows"}, {OutcomeNoAnswer, "no answer"},
      {OutcomeDisagreed, "servers disagreed"}, {OutcomeClockChanged, "clock changed"}};
  const int marker = Scale(kMarkerRadius);
  int keyAt = gap + TextWidth(dc, title) + 3 * gap;
  for (const auto& k : kKey) {
    const int textWidth = TextWidth(dc, k.text);
    if (keyAt + 2 * marker + Scale(4) + textWidth > width) break;
    const int middle = gap / 2 + line / 2;
    Marker(dc, k.outcome, keyAt + marker, HasCorrection(k.outcome) ? middle : middle + Scale(kFailureMarkSize));
    Text(dc, k.text, {keyAt + 2 * marker + Scale(4), gap / 2, width, gap / 2 + line}, DT_LEFT);
    keyAt += 2 * marker + Scale(4) + textWidth + 2 * gap;
  }

  // Each plotted server's offsets as a thin line with a dot per pass, and its legend.
  static POINT points[kHistoryMost];
  for (int k = 0; k < gPlottedCount; ++k) {
    for (int i = 0; i < gSampleCount[k]; ++i) points[i] = {x(gSamples[k][i].ended), y(gSamples[k][i].offset)};
    const COLORREF color = Color(kServerColors[k]);
    if (gSampleCount[k] > 1) Line(dc, color, std::max(1, Scale(1)), points, gSampleCount[k]);
    HBRUSH brush = CreateSolidBrush(color);
    for (int i = 0; i < gSampleCount[k]; ++i) {
      const RECT dot = {points[i].x - Scale(1), points[i].y - Scale(1), points[i].x + Scale(2), points[i].y + Scale(2)};
      FillRect(dc, &dot, brush);
    }
    DeleteObject(brush);
    const int rowY = top + k * (line + Scale(2));
    const POINT sample[] = {{right + gap, rowY + line / 2}, {right + gap + Scale(16), rowY + line / 2}};
    Line(dc, color, Scale(2), sample, 2);
    Text(dc, gPlottedNames[k], {right + gap + Scale(22), rowY, width - Scale(4), rowY + line}, DT_LEFT | DT_END_ELLIPSIS);
  }

  // The passes' markers over the lines: corrections at their value,
  // failures on the time axis.
  for (int i = 0; i < gMarkCount; ++i) {
    const Mark& m = gMarks[i];
    Marker(dc, m.outcome, x(m.ended), HasCorrection(m.outcome) ? y(m.correction) : bottom);
  }
}

void Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(gHistoryWindow, &paint);
  const int width = gPlotArea.right - gPlotArea.left, height = gPlotArea.bottom - gPlotArea.top;
  if (width > 0 && height > 0) {
    // Drawn aside and copied in one piece, so that a redraw does not flicker.
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    DrawPlot(memory, width, height);
    BitBlt(dc, gPlotArea.left, gPlotArea.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
  }
  EndPaint(gHistoryWindow, &paint);
}

// Everything but the plot, which covers its own area.
void EraseBackground(HDC dc) {
  RECT client;
  GetClientRect(gHistoryWindow, &client);
  const int saved = SaveDC(dc);
  ExcludeClipRect(dc, gPlotArea.left, gPlotArea.top, gPlotArea.right, gPlotArea.bottom);
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  RestoreDC(dc, saved);
}

void CellText(NMLVDISPINFOA* info) {
  const LVITEMA& item = info->item;
  if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || item.iItem >= gShownCount || item.iSubItem < 0 ||
      item.iSubItem >= kHistoryColumns || item.cchTextMax <= 0)
    return;
  item.pszText[0] = '\0';
  if (!EntryAt(gShown[item.iItem], &gScratch)) return;
  static char text[kMaxEntryText];
  if (item.iSubItem == ColumnEnded) {
    FormatLocalTimestamp(gScratch.ended, text);
    const int length = lstrlenA(text);
    if (length > 0 && text[length - 1] == ' ') text[length - 1] = '\0';
  } else {
    HistoryCellText(gScratch, static_cast<HistoryColumn>(item.iSubItem), text, sizeof text);
  }
  lstrcpynA(item.pszText, text, item.cchTextMax);
}

// The shown entries, oldest first, as comma-separated values.
bool WriteCsv(HANDLE file) {
  int servers = 0;
  for (int i = 0; i < gShownCount; ++i)
    if (EntryAt(gShown[i], &gScratch)) servers = std::max(servers, gScratch.serverCount);
  static char row[kMaxEntryText];
  DWORD written = 0;
  size_t length = CsvHeader(servers, row);
  if (!WriteFile(file, row, static_cast<DWORD>(length), &written, nullptr) || written != length) return false;
  for (int i = gShownCount - 1; i >= 0; --i) {
    if (!EntryAt(gShown[i], &gScratch)) continue;
    length = CsvRow(gScratch, servers, row);
    if (!WriteFile(file, row, static_cast<DWORD>(length), &written, nullptr) || written != length) return false;
  }
  return true;
}

void ExportShown() {
  char path[MAX_PATH] = "orvalen-history.csv";
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = gHistoryWindow;
  dialog.lpstrFilter = kExportFilter;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = kExportTitle;
  dialog.lpstrDefExt = "csv";
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameA(&dialog)) return;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // A disk that fills, or a share that fails, may say so only on the flush.
  bool done = file != INVALID_HANDLE_VALUE && WriteCsv(file) && FlushFileBuffers(file);
  if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) done = false;
  if (!done && file != INVALID_HANDLE_VALUE) DeleteFileA(path);  // no half a history under that name
  if (!done) MessageBoxA(gHistoryWindow, "The history could not be written to that file.", kTitle, MB_OK | MB_ICONERROR);
}

HWND Child(const char* kind, const char* text, DWORD style, int id, DWORD exStyle = 0) {
  HWND child = CreateWindowExA(exStyle, kind, text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, 0, 0, 0, 0,
                               gHistoryWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), gAppInstance, nullptr);
  SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(gUiFont), FALSE);
  return child;
}

void CreateChildren() {
  HWND choice = Child("COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL, kSpanChoice);
  for (const char* label : kSpanLabels) SendMessageA(choice, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label));
  SendMessageA(choice, CB_SETCURSEL, gSpan, 0);
  Child("BUTTON", "&Export...", BS_PUSHBUTTON, kExportButton);
  HWND list = Child(WC_LISTVIEWA, "", LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | LVS_SINGLESEL, kPassList,
                    WS_EX_CLIENTEDGE);
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (int column = 0; column < kHistoryColumns; ++column) {
    LVCOLUMNA c = {};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    c.pszText = const_cast<char*>(kHistoryColumnTitles[column]);
    c.cx = Scale(kColumnWidths[column]);
    c.iSubItem = column;
    SendMessageA(list, LVM_INSERTCOLUMNA, column, reinterpret_cast<LPARAM>(&c));
  }
}

LRESULT CALLBACK HistoryWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      gHistoryWindow = window;
      CreateChildren();
      Layout();
      Reload();
      return 0;
    case WM_SIZE:
      Layout();
      InvalidateRect(window, nullptr, TRUE);
      return 0;
    case WM_ERASEBKGND:
      EraseBackground(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kSpanChoice && HIWORD(wParam) == CBN_SELCHANGE) {
        const LRESULT chosen = SendMessageA(reinterpret_cast<HWND>(lParam), CB_GETCURSEL, 0, 0);
        if (chosen >= 0 && chosen < kHistorySpans) gSpan = static_cast<HistorySpan>(chosen);
        Reselect(SelectedPass());  // the rows still shown are those of the span before
      } else if (LOWORD(wParam) == kExportButton) {
        ExportShown();
      } else if (LOWORD(wParam) == IDCANCEL) {
        DestroyWindow(window);  // Escape
      }
      return 0;
    case WM_SYSCOLORCHANGE:
      SendDlgItemMessageA(window, kPassList, WM_SYSCOLORCHANGE, 0, 0);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE)
        gHistoryFocus = GetFocus();
      else
        Reload();  // another Orvalen may have added passes; the span runs back from now
      break;
    case WM_SETFOCUS:
      // Back where the user left it, or first on the list.
      SetFocus(IsChild(window, gHistoryFocus) ? gHistoryFocus : GetDlgItem(window, kPassList));
      return 0;
    case WM_NOTIFY: {
      auto header = reinterpret_cast<NMHDR*>(lParam);
      if (header->idFrom == kPassList && header->code == LVN_GETDISPINFOA)
        CellText(reinterpret_cast<NMLVDISPINFOA*>(lParam));
      // A letter typed in the list finds no pass: its rows begin with dates.
      const bool find = header->code == LVN_ODFINDITEMA || header->code == LVN_ODFINDITEMW;
      return header->idFrom == kPassList && find ? -1 : 0;
    }
    case WM_DESTROY:
      gHistoryWindow = gHistoryFocus = nullptr;
      FreeHistoryText(gHistoryText);
      gHistoryText = nullptr;
      gEntryCount = gShownCount = 0;
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void OpenHistoryWindow() {
  if (gHistoryWindow != nullptr) {
    if (IsIconic(gHistoryWindow)) ShowWindow(gHistoryWindow, SW_RESTORE);
    SetForegroundWindow(gHistoryWindow);
    return;
  }
  static bool registered;
  if (!registered) {
    WNDCLASSA type = {};
    type.style = CS_HREDRAW | CS_VREDRAW;
    type.lpfnWndProc = HistoryWindowProc;
    type.hInstance = gAppInstance;
    type.hIcon = LoadIconA(gAppInstance, MAKEINTRESOURCEA(IDI_MAIN));
    type.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    type.lpszClassName = kHistoryWindowClass;
    registered = RegisterClassA(&type) != 0;
    if (!registered) return;
  }
  // Fonts and sizes follow the screen's dots per inch.
  HDC screen = GetDC(nullptr);
  gDpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (gUiFont == nullptr)
    gUiFont = CreateFontA(-MulDiv(kFontPoints, gDpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_SWISS, "Tahoma");
  // No larger than the screen, whatever its dots per inch.
  RECT work = {0, 0, Scale(kWindowWidth), Scale(kWindowHeight)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  CreateWindowExA(0, kHistoryWindowClass, kTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                  CW_USEDEFAULT, std::min(Scale(kWindowWidth), static_cast<int>(work.right - work.left)),
                  std::min(Scale(kWindowHeight), static_cast<int>(work.bottom - work.top)), nullptr, nullptr,
                  gAppInstance, nullptr);
  if (gHistoryWindow == nullptr) return;
  ShowWindow(gHistoryWindow, SW_SHOWNORMAL);
  SetForegroundWindow(gHistoryWindow);
}

bool TakeHistoryKey(MSG* message) { return gHistoryWindow != nullptr && IsDialogMessageA(gHistoryWindow, message); }

void RefreshHistoryWindow() {
  if (gHistoryWindow != nullptr) Reload();
}

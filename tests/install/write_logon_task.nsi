; Writes the log-on task definition as the installer does, for a program in
; a folder whose name holds a blank and an ampersand, beside this program.
!ifdef AMD64
  Target amd64-unicode
!else
  Unicode true
!endif
RequestExecutionLevel user
SilentInstall silent
OutFile "${OUTFILE}"
!addincludedir "${INSTALL_DIR}"
!include "logon_task.nsh"

Section
  !insertmacro WriteLogonTaskXml "$EXEDIR\logon-task.xml" "C:\Program Files\Tools & Co\Orvalen.exe"
SectionEnd

; Explorer's menu entry for every file ("*"), "Encrypt or decrypt with Varnok", which opens the
; window on the file, exactly as dropping the file on varnok.exe does. Two values under one key,
; in the registry view of the install's other keys (SHCTX: HKLM for an install for all users,
; HKCU for one user); the uninstaller deletes the key.
!ifndef VARNOK_EXPLORER_MENU
!define VARNOK_EXPLORER_MENU
!define VARNOK_EXPLORER_VERB "Software\Classes\*\shell\Varnok"

!macro VarnokAddExplorerMenu
  WriteRegStr SHCTX "${VARNOK_EXPLORER_VERB}" "" "Encrypt or decrypt with Varnok"
  WriteRegStr SHCTX "${VARNOK_EXPLORER_VERB}\command" "" '"$INSTDIR\varnok.exe" "%1"'
!macroend

!macro VarnokRemoveExplorerMenu
  DeleteRegKey SHCTX "${VARNOK_EXPLORER_VERB}"
!macroend
!endif

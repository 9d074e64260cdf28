@echo off
rem Unregisters ostrel.dll and qvWMI.dll of this folder (the @ARCH@ package).
rem Run it from an elevated prompt; delete the folder afterwards.
setlocal
set "here=%~dp0"
for %%f in (qvWMI.dll ostrel.dll) do (
    if not exist "%here%%%f" (
        echo uninstall: %%f is missing from %here% - run uninstall.cmd from the folder install.cmd ran in.
        exit /b 2
    )
)
reg add "HKLM\Software\Classes\qvWMI.InstallCheck" /f >nul 2>&1
if errorlevel 1 (
    echo uninstall: not elevated - run uninstall.cmd from a prompt opened with "Run as administrator".
    exit /b 5
)
reg delete "HKLM\Software\Classes\qvWMI.InstallCheck" /f >nul 2>&1
for %%f in (ostrel.dll qvWMI.dll) do (
    regsvr32 /s /u "%here%%%f"
    if errorlevel 1 (
        echo uninstall: regsvr32 /u %%f failed.
        exit /b 1
    )
)
echo uninstall: ostrel.dll and qvWMI.dll unregistered; the folder %here% can be deleted.
exit /b 0

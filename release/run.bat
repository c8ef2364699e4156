@echo off
rem Runs example.lua in the sample host: the script reads the sample module's
rem data through Quorvane.dll, at the places example-profile.ini names.
rem Run it from a Command Prompt, from any folder; arguments go to the script
rem (the first one: another profile, by its full path).
"%~dp0sample_host.exe" "%~dp0example.lua" %*

"""The command line: --version, an option error."""





def command_line(wine, exe, failures):
    code, out = wine.run(exe, "--version")
    if code != 0 or "ZUREDOZED 1.00" not in out:
        failures.append("--version: exit %d, %r" % (code, out))
    code, out = wine.run(exe, "--port", "COM4")
    if code != 2 or "--port takes a whole number from 1 to 15, not 'COM4'" not in out:
        failures.append("--port COM4: exit %d, %r" % (code, out))

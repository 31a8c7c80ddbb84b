"""Starting Wine for runs whose output is captured."""
import subprocess


def start_wine_session(env=None, prefix=()):
    """Wine starts its server and system processes on first use, and they
    keep that process's standard streams open: a run whose output is
    captured would not end until they do, and in a steady stream of runs,
    never. So start them here, on /dev/null, to outlive short pauses."""
    for command in (["wineserver", "-p60"], ["wineboot"]):
        subprocess.run([*prefix, *command], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

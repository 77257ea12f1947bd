"""A speech server for the Orca screen reader that makes no sound. Orca
writes every line it speaks to its debug output ("SPEECH OUTPUT:"), but
only as its buffer fills; this server also writes each line it is given to
the file that ORVANE_ORCA_SPOKEN names, at once, where a test waits for it.
No sound device and no speech daemon needed. Orca loads it by its module
name (its speechServerFactory setting)."""
import os

from orca import speechserver


def _record(text):
    path = os.environ.get("ORVANE_ORCA_SPOKEN")
    if path and text:
        with open(path, "a", encoding="utf-8") as f:
            f.write(" ".join(str(text).split()) + "\n")


class SpeechServer(speechserver.SpeechServer):
    _server = None

    @staticmethod
    def getFactoryName():
        return "Silent"

    @staticmethod
    def getSpeechServers():
        return [SpeechServer.getSpeechServer()]

    @staticmethod
    def getSpeechServer(info=None):
        if SpeechServer._server is None:
            SpeechServer._server = SpeechServer()
        return SpeechServer._server

    @staticmethod
    def shutdownActiveServers():
        SpeechServer._server = None

    def getInfo(self):
        return ["Silent", "silent"]

    def getVoiceFamilies(self):
        return []

    def speak(self, text=None, acss=None, interrupt=True):
        _record(text)

    def speakCharacter(self, character, acss=None):
        _record(character)

"""Appends a byte to each file that the task named in ORVSEAL_TAMPER_TASK
copied, as soon as that task reports the file (a loop reports each): a
change to a package on the host between its copy and its install, made at
the same moment every run."""
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "orvseal_tamper"
    CALLBACK_NEEDS_ENABLED = True

    def v2_runner_item_on_ok(self, result):
        if result.task_name == os.environ.get("ORVSEAL_TAMPER_TASK"):
            with open(result._result["dest"], "ab") as copy:
                copy.write(b"\0")

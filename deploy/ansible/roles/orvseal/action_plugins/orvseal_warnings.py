# Shows the warnings that orvseal and orvcred wrote (their ORVnnnnW lines) as
# Ansible warnings, so that they reach whoever runs the play. The commands'
# messages name files, lines and keys, never a value.
import re

from ansible.plugins.action import ActionBase

WARNING = re.compile(r"^ORV[0-9A-F]{4}W: ")


class ActionModule(ActionBase):
    _requires_connection = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        output = self._task.args.get("output", "")
        warnings = [line.strip() for line in output.splitlines() if WARNING.match(line.strip())]
        result["changed"] = False
        if warnings:
            result["warnings"] = warnings
        return result

# Runs a command on the host with the command module of its platform:
# ansible.windows.win_command on a Windows host (ansible_os_family, as the
# role's tasks choose their files), ansible.builtin.command elsewhere. It
# takes what both take, argv and an optional chdir, so that each call of orvcred and orvseal is
# written once; register, check_mode, changed_when and failed_when work as
# on those modules, whose result it returns.
from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible.utils.vars import merge_hash


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("argv", "chdir"))

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super().run(tmp, task_vars)
        del tmp
        argv = self._task.args.get("argv")
        if not isinstance(argv, list) or not argv:
            raise AnsibleActionFail("orvseal_command takes argv, the command and its arguments as a list.")
        if task_vars.get("ansible_os_family") == "Windows":
            module = "ansible.windows.win_command"
        else:
            module = "ansible.builtin.command"
        module_args = {"argv": argv}
        if self._task.args.get("chdir"):
            module_args["chdir"] = self._task.args["chdir"]
        result = merge_hash(result, self._execute_module(
            module_name=module, module_args=module_args, task_vars=task_vars))
        self._remove_tmp_path(self._connection._shell.tmpdir)
        return result

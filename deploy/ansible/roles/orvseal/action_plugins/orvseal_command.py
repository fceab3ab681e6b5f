# Runs a command on the host with the command module of its platform:
# ansible.windows.win_command on a Windows host (ansible_os_family, as the
# role's tasks choose their files), ansible.builtin.command elsewhere. It
# takes what both take, argv, an optional chdir and an optional stdin, so
# that each call of orvcred and orvseal is written once; register,
# check_mode, changed_when and failed_when work as on those modules, whose
# result it returns.
#
# stdin is a list of lines, each given to the command followed by one LF
# (a list, because templating turns a text that reads as a list or mapping
# into one, and a value could). It carries secrets, so the module always
# travels to the host through the connection's pipe, never in a file of the
# host's temporary folder, whatever ANSIBLE_PIPELINING and
# ANSIBLE_KEEP_REMOTE_FILES say; where the connection cannot pipe (become
# su, async), the task fails before anything is sent.
from ansible.errors import AnsibleActionFail
from ansible.module_utils.six import string_types
from ansible.plugins.action import ActionBase
from ansible.utils.vars import merge_hash


class ActionModule(ActionBase):
    _VALID_ARGS = frozenset(("argv", "chdir", "stdin"))

    def _is_pipelining_enabled(self, module_style, wrap_async=False):
        if self._task.args.get("stdin") is None:
            return super()._is_pipelining_enabled(module_style, wrap_async)
        become = self._connection.become.name if self._connection.become else ""
        return (self._connection.has_pipelining and module_style == "new" and become != "su"
                and (not wrap_async or self._connection.always_pipeline_modules))

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super().run(tmp, task_vars)
        del tmp
        argv = self._task.args.get("argv")
        if not isinstance(argv, list) or not argv:
            raise AnsibleActionFail("orvseal_command takes argv, the command and its arguments as a list.")
        stdin = self._task.args.get("stdin")
        if stdin is not None and (not isinstance(stdin, list) or
                                  not all(isinstance(line, string_types) for line in stdin)):
            raise AnsibleActionFail("orvseal_command takes stdin as a list of lines.")
        if stdin is not None and not self._is_pipelining_enabled("new", bool(self._task.async_val)):
            raise AnsibleActionFail("orvseal_command hands a standard input to the host through the "
                                    "connection's pipe alone, and this connection cannot pipe (become su, "
                                    "or async): nothing was sent.")
        if task_vars.get("ansible_os_family") == "Windows":
            module = "ansible.windows.win_command"
        else:
            module = "ansible.builtin.command"
        module_args = {"argv": argv}
        if self._task.args.get("chdir"):
            module_args["chdir"] = self._task.args["chdir"]
        if stdin is not None:
            module_args["stdin"] = "".join(line + "\n" for line in stdin)
            if module == "ansible.builtin.command":
                module_args["stdin_add_newline"] = False
        result = merge_hash(result, self._execute_module(
            module_name=module, module_args=module_args, task_vars=task_vars))
        self._remove_tmp_path(self._connection._shell.tmpdir)
        return result

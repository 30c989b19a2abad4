"""closing on|off: the front's process-wide variable proc.gmi_closing, set
through the runtime API (which asks for experimental mode to set one), then
read back. While it is above 0 the front ends each connection that came
through the edges after its answer; a front that did not take it would keep
the edges' connections for as long as clients use them, and a host drain
would never finish."""

from .errors import Failed
from .steps import Step, perform, say

VARIABLE = "proc.gmi_closing"


def set_closing(api, option, dry_run):
    value = 1 if option == "on" else 0

    def check():
        answer = api.command(f"get var {VARIABLE}")
        if f"value=<{value}>" not in answer:
            raise Failed(f"the front holds {' '.join(answer.split()) or 'nothing'}")

    perform(f"closing {option}", [
        Step("set", f"experimental-mode on; set var {VARIABLE} int({value})",
             lambda: api.act(f"experimental-mode on; set var {VARIABLE} int({value})"),
             f"closing {option}"),
        Step("check", f"get var {VARIABLE}, expecting value=<{value}>", check, f"closing {option}"),
    ], dry_run, "as it was")
    if not dry_run:
        say(f"closing {option}")
    return 0

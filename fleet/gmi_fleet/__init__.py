"""gmi-fleet's modules: the operator tool that acts on every gmi-server
instance behind this host's HAProxy front, and on every host behind the
edge pair. The command line is cli.py; gmi-fleet(8) says what each command
does and what a failure leaves behind. Standard library only: the tool runs
with Debian's python3 and nothing else."""

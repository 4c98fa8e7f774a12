"""Runs every ```python block of README.md, in order, as one doctest session.

    PYTHONPATH=build/dev .venv/bin/python examples/check_readme.py
"""

import doctest
import pathlib
import re
import sys

readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README", str(readme), 0)
runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
runner.run(test)
failed, attempted = runner.summarize(verbose=False)
print(f"README examples: {attempted - failed} of {attempted} passed")
sys.exit(1 if failed else 0)

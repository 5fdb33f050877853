"""The reference pages in docs/: every `>>>` example runs and prints what the page says."""

import ast
import doctest
import importlib.util
import pathlib
import re

import pytest

import valmora

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
PAGES = sorted(DOCS.glob("*.md"))
# The index and the family pages its table links; the others (development, benchmarks) are notes.
REFERENCE = {"index.md"} | set(re.findall(r"^\| [^|]+ \| \[\w+\.md\]\((\w+\.md)\)", (DOCS / "index.md").read_text(),
                                         flags=re.MULTILINE))


def examples_of(page):
    # A closing code fence must not be read as part of an example's expected output.
    text = re.sub(r"^```.*$", "", page.read_text(), flags=re.MULTILINE)
    return doctest.DocTestParser().get_doctest(text, {}, page.name, str(page), 0)


def missing_imports(tree):
    """The packages `tree` imports that are not installed (pandas, matplotlib, statsmodels: optional)."""
    names = {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
    names |= {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module}
    return {name.split(".")[0] for name in names if importlib.util.find_spec(name.split(".")[0]) is None}


def without_missing_packages(test):
    """Leaves out the examples that import a package that is not installed, and every later one that
    uses a name they bound (until a kept example binds it again); returns the packages missing."""
    missing, unbound, kept = set(), set(), []
    for example in test.examples:
        tree = ast.parse(example.source)
        absent = missing_imports(tree)
        names = [node for node in ast.walk(tree) if isinstance(node, ast.Name)]
        bound = {node.id for node in names if isinstance(node.ctx, ast.Store)}
        bound |= {(alias.asname or alias.name).split(".")[0] for node in ast.walk(tree)
                  if isinstance(node, (ast.Import, ast.ImportFrom)) for alias in node.names}
        if absent or ({node.id for node in names} - bound) & unbound:
            missing |= absent
            unbound |= bound
        else:
            kept.append(example)
            unbound -= bound
    test.examples = kept
    return missing


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_examples_match_the_module(page):
    test = examples_of(page)
    assert test.examples or page.name not in REFERENCE, f"{page.name} has no worked example"
    total = len(test.examples)
    missing = without_missing_packages(test)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{page.name}: {runner.failures} example(s) disagree with the module"
    if missing:
        pytest.skip(f"{total - len(test.examples)} of {total} examples need {', '.join(sorted(missing))}, "
                    "not installed; the others agree")


def test_every_function_has_a_worked_example():
    sources = "\n".join(e.source for page in PAGES for e in examples_of(page).examples)
    missing = [name for name in valmora.__all__[1:] if not re.search(rf"\b{name}\(", sources)]
    assert missing == []


def test_every_validation_message_is_documented():
    # Every message the core can raise, read from its sources.
    sources = " ".join(path.read_text() for path in (DOCS.parent / "src").glob("*.cpp"))
    messages = set(re.findall(r'ValidationError\s*\w*\{"([^"]+)"\}', sources))
    text = " ".join(page.read_text() for page in PAGES).replace("\n", " ")
    assert len(messages) > 10 and [m for m in sorted(messages) if m not in text] == []


def readme_blocks():
    text = (DOCS.parent / "README.md").read_text()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("index", range(len(readme_blocks())))
def test_readme_python_blocks_run(index):
    block = readme_blocks()[index]
    missing = missing_imports(ast.parse(block))
    if missing:
        pytest.skip(f"needs {', '.join(sorted(missing))}, not installed")
    exec(compile(block, f"README.md block {index}", "exec"), {})


def table_rows(text):
    """{(function, size, input): cells} of every Markdown table row that names a function."""
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in text.splitlines() if line.startswith("| ")]
    return {tuple(r[:3]): r for r in rows if len(r) > 3 and r[0].split(":")[-1].strip() in valmora.__all__}


def test_readme_benchmark_rows_are_the_snapshots():
    # The README shows some rows of the snapshot in docs/benchmarks.md: the same times and ratios.
    readme = table_rows((DOCS.parent / "README.md").read_text())
    snapshot = table_rows((DOCS / "benchmarks.md").read_text())
    assert len(readme) > 5
    for key, (_, _, _, ours, peer, name, ratio, with_list) in readme.items():
        row = snapshot[key]
        expected = [row[3], row[4], row[7], row[8], row[9] if with_list != "-" else "-"]
        assert expected == [ours, peer, name, ratio, with_list], key


EXPECTED_FIGURES = ["covariance_heatmaps.png", "factor_risk.png", "execution_trajectories.png",
                    "rolling_correlation.png", "cointegration_spread.png", "transfer_entropy.png"]


def test_tour_prints_the_report_and_writes_every_figure(tmp_path):
    import subprocess
    import sys

    folder = tmp_path / "figs"
    proc = subprocess.run([sys.executable, str(DOCS.parent / "examples" / "tour.py"), "--figures", str(folder)],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    for section in ["1. Covariance", "3. Factor risk", "4. Working", "5. A cointegrated pair", "6. Transfer entropy"]:
        assert section in proc.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "matplotlib is not installed" in proc.stdout
    else:
        assert sorted(p.name for p in folder.iterdir()) == sorted(EXPECTED_FIGURES)

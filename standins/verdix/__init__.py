"""Local stand-in for the criteria-judge library ``verdix``.

``verdix.judges`` holds what the SDK's criteria-judge provider uses: the
criteria (``Criteria`` with its ``CriteriaOption`` list), the records to judge
(``Instance``) and ``DirectJudge``, which asks an inference engine (any object
with ``infer(dataset) -> list[str]``, such as the engines of
``tallyx.inference``) to pick one option per record.
"""

__version__ = "0.1.0"

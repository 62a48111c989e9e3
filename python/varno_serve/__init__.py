"""``varno-serve``: play varno in a web browser, against the bot or between two people.

The reference server for hosting the ``varno`` module: one asyncio process (aiohttp),
rooms kept in SQLite, the bot's searches in worker processes. Installed with the
``serve`` extra: ``pip install 'varno[serve]'``.
"""

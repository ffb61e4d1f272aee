"""Replay of recorded market data through oxa.Brindle, driven the way a trading client
drives it, and the tools around it.

    python3 -m replay TICKS.csv        replay ticks, print the summary, write decisions,
                                       fills and a chart
    python3 -m replay.check            check the strategies of the settings module
    python3 -m replay.db create        create the database tables the engine uses
    python3 -m replay.sample FILE      write the sample session's ticks
"""

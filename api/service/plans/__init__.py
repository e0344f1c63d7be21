"""Plan delivery: the documents drawn from the database (`documents`), the routes that hand
them out (`routes`), the register of issued plans (`issue_log`) and the parcel's recorded
zone and district (`place`). The command-line tools share `documents` and `issue_log`."""

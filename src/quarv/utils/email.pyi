from email.headerregistry import Address
from email.message import EmailMessage
from typing import Any

CFG_SMTP_HOST: str
CFG_SMTP_PORT: str
CFG_SMTP_SSL: str
CFG_SMTP_TIMEOUT: str
CFG_SMTP_USERNAME: str
CFG_SMTP_PASSWORD: str
CFG_DEFAULT_DOMAIN: str
DEFAULT_SMTP_TIMEOUT: int

class EmailMsg:
    def __init__(self, from_email: Any | None = None, to_email: Any | None = None, subject: str = '', body: str = '', attachments: Any | None = None, html_email: bool = False, html_body: str = '', default_domain: Any | None = None) -> None: ...
    @staticmethod
    def convert_to_address(value, default_domain) -> list[Address]: ...
    def message(self) -> EmailMessage: ...
    def get_content(self) -> str: ...
    def recipients(self) -> Any: ...
    def send(self, host: Any | None = None, port: Any | None = None, ssl: Any | None = None, timeout: Any | None = None, username: Any | None = None, password: Any | None = None) -> Any: ...
    mailbody: Any
    mailsubject: Any
